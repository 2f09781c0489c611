// Size and serial number of a SCSI disk, read from the sysfs files of a
// simulated node: the size file and the binary VPD page 0x80.
#include <optional>
#include <string>

#include "nesk_blkdev.h"
#include "node_sandbox.h"

namespace {

using namespace nesk_test;

std::string page(unsigned char length, const std::string& data) {
    return std::string("\x00\x80\x00", 3) + static_cast<char>(length) + data;
}

using CapacitySerial = SandboxTest;

TEST_F(CapacitySerial, DecodesTheUnitSerialNumberPage) {
    const std::string ten = "0123456789";
    const std::string long_data(255, 'S');
    const struct {
        const char* what;
        std::optional<std::string> raw;  // nullopt: no vpd_pg80 file
        std::string serial;
        int result;
    } cases[] = {
        {"plain", page(8, "ABCD1234"), "ABCD1234", 0},
        {"padded with trailing blanks", page(20, "ZC1234AB            "), "ZC1234AB", 0},
        {"right-aligned", page(20, "        WD-WCC4N7KX1"), "WD-WCC4N7KX1", 0},
        {"short serial", page(5, "S1234"), "S1234", 0},
        {"length byte larger than the data", page(48, "SHORT1"), "SHORT1", 0},
        {"length byte smaller than the data", page(4, "ABCDEFGH"), "ABCD", 0},
        {"length 10, a line-feed byte", page(10, ten), ten, 0},
        {"length 13, a carriage-return byte", page(13, "ABCDEFGHIJKLM"), "ABCDEFGHIJKLM", 0},
        {"line feed inside the serial", page(9, "ABCD\nEFGH"), "ABCD\nEFGH", 0},
        {"length byte above 127", page(200, long_data), std::string(200, 'S'), 0},
        {"header only", page(8, ""), "", 0},
        {"blanks inside kept", page(7, " AB CD \t"), "AB CD", 0},
        {"one byte", std::string(1, '\0'), "", -1},
        {"three bytes", std::string("\x00\x80\x00", 3), "", -1},
        {"empty file", std::string(), "", 0},
        {"no file", std::nullopt, "", 0},
    };
    int index = 0;
    for (const auto& c : cases) {
        const std::string name = "sd" + std::string(1, static_cast<char>('a' + index));
        ScsiDisk disk("0:0:" + std::to_string(index++) + ":0", name);
        disk.vpd_pg80 = c.raw;
        sandbox().add_scsi_disk(disk);

        nesk_blkdevmgr manager;
        nesk_blkdev record;
        record.set_name("/dev/" + name);
        record.set_serial("LEFT-OVER");
        EXPECT_EQ(manager.get_serialnum(record), c.result) << c.what;
        EXPECT_EQ(record.get_serial(), c.serial) << c.what;
    }
}

TEST_F(CapacitySerial, LogsTheSerialAtLevelTwoAndFailuresAtMinusOne) {
    platform().set_debug_level(2);
    sandbox()
        .add_scsi_disk(ScsiDisk("0:0:0:0", "sda").with_vpd_pg80(page(8, "ABCD1234")))
        .add_scsi_disk(ScsiDisk("0:0:1:0", "sdb").with_vpd_pg80(std::string("\x00\x80", 2)))
        .add_scsi_disk(ScsiDisk("0:0:2:0", "sdc"));
    nesk_blkdevmgr manager;
    for (const char* name : {"/dev/sda", "/dev/sdb", "/dev/sdc"}) {
        nesk_blkdev record;
        record.set_name(name);
        manager.get_serialnum(record);
    }
    const auto log = platform().log_lines();
    EXPECT_TRUE(has_line_containing(log, "uuid for /dev/sda : ABCD1234"));
    EXPECT_TRUE(has_line_containing(log, "Failed to extract uuid for /dev/sdb"));
    EXPECT_FALSE(has_line_containing(log, "uuid for /dev/sdb :"));
    EXPECT_TRUE(has_line_containing(log, "uuid for /dev/sdc : "));
}

TEST_F(CapacitySerial, ReadsTheSizeIn512ByteSectors) {
    platform().set_debug_level(2);
    ScsiDisk no_size("0:0:1:0", "sdb");
    no_size.size_sectors.reset();
    sandbox()
        .add_scsi_disk(ScsiDisk("0:0:0:0", "sda").with_size(1000))
        .add_scsi_disk(no_size)
        .add_scsi_disk(ScsiDisk("0:0:2:0", "sdc").with_size(35156656128ULL));  // an 18 TB disk
    nesk_blkdevmgr manager;
    const struct {
        const char* name;
        unsigned long long blocks;
        unsigned int block_size;
    } cases[] = {{"/dev/sda", 1000, 512}, {"/dev/sdb", 0, 0}, {"/dev/sdc", 35156656128ULL, 512}};
    for (const auto& c : cases) {
        nesk_blkdev record;
        record.set_name(c.name);
        record.set_blocks(7);
        record.set_block_size(4096);
        EXPECT_EQ(manager.get_capacity(record), 0) << c.name;
        EXPECT_EQ(record.get_blocks(), c.blocks) << c.name;
        EXPECT_EQ(record.get_blksize(), c.block_size) << c.name;
    }
    const auto log = platform().log_lines();
    EXPECT_TRUE(has_line_containing(log, "Block device [/dev/sda] num of blocks [1000]"));
    EXPECT_TRUE(has_line_containing(log, "Block device [/dev/sdc] num of blocks [35156656128]"));
    EXPECT_FALSE(has_line_containing(log, "Block device [/dev/sdb]"));
}

}  // namespace
