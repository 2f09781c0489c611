#include "nesk_blkdev.h"

nesk_blkdev::nesk_blkdev() : blocks(0), block_size(0) {}

// The log object is never copied: the new record's own is set up afresh.
nesk_blkdev::nesk_blkdev(const nesk_blkdev& other)
    : name(other.name),
      loc(other.loc),
      vendor(other.vendor),
      product(other.product),
      serial(other.serial),
      blocks(other.blocks),
      block_size(other.block_size),
      debug_log(other.debug_log) {}

nesk_blkdev::nesk_blkdev(nesk_blkdev&& other)
    : name(std::move(other.name)),
      loc(std::move(other.loc)),
      vendor(std::move(other.vendor)),
      product(std::move(other.product)),
      serial(std::move(other.serial)),
      blocks(other.blocks),
      block_size(other.block_size),
      debug_log(other.debug_log) {}

nesk_blkdev& nesk_blkdev::operator=(const nesk_blkdev& other) {
    name = other.name;
    loc = other.loc;
    vendor = other.vendor;
    product = other.product;
    serial = other.serial;
    blocks = other.blocks;
    block_size = other.block_size;
    debug_log = other.debug_log;
    return *this;
}

nesk_blkdev::~nesk_blkdev() = default;

void nesk_blkdev::set_name(std::string value) { name = std::move(value); }
void nesk_blkdev::set_loc(std::string value) { loc = std::move(value); }
void nesk_blkdev::set_vendor(std::string value) { vendor = std::move(value); }
void nesk_blkdev::set_product(std::string value) { product = std::move(value); }
void nesk_blkdev::set_serial(std::string value) { serial = std::move(value); }
void nesk_blkdev::set_blocks(unsigned long long value) { blocks = value; }
void nesk_blkdev::set_block_size(unsigned int value) { block_size = value; }

std::string nesk_blkdev::get_name() const { return name; }
std::string nesk_blkdev::get_loc() const { return loc; }
std::string nesk_blkdev::get_vendor() const { return vendor; }
std::string nesk_blkdev::get_product() const { return product; }
std::string nesk_blkdev::get_serial() const { return serial; }
unsigned long long nesk_blkdev::get_blocks() const { return blocks; }
unsigned int nesk_blkdev::get_blksize() const { return block_size; }
