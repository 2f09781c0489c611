// Disk identity beside lsblk: the same sandbox sysfs tree and udev database
// (as ata_id, scsi_id, usb_id and the NVMe rules write it) read by both, and
// real loop devices, one flagged read-only, on the kernel's own sysfs.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <tuple>

#include "nesk_blkdev.h"
#include "real_devices.h"

using namespace nesk_test;

namespace {

// Every field lsblk also shows (all but the by-id links).
auto shown_fields(const nesk_disk_identity& i) {
    return std::make_tuple(i.wwn, i.model, i.serial, i.transport, i.rotational, i.read_only,
                           i.logical_sector_size, i.physical_sector_size, i.hctl);
}

// A string column: a JSON string, or null when lsblk has no value.
std::string text(const nlohmann::json& row, const char* key) {
    const nlohmann::json& value = row.at(key);
    if (value.is_null()) return "";
    if (!value.is_string()) throw std::runtime_error(std::string(key) + " is not a string");
    return value.get<std::string>();
}

// A number column: an unsigned JSON number, or null.
unsigned int number(const nlohmann::json& row, const char* key) {
    const nlohmann::json& value = row.at(key);
    if (value.is_null()) return 0;
    if (!value.is_number_unsigned()) throw std::runtime_error(std::string(key) + " is no count");
    return value.get<unsigned int>();
}

bool boolean(const nlohmann::json& row, const char* key) {
    const nlohmann::json& value = row.at(key);
    if (!value.is_boolean()) throw std::runtime_error(std::string(key) + " is not a boolean");
    return value.get<bool>();
}

// What "lsblk -J -b -d" shows of `devices` (every disk when none), by name,
// each column checked for the JSON type lsblk 2.38 gives it. lsblk keeps the
// blanks that pad a SCSI INQUIRY product; the library trims them.
std::map<std::string, nesk_disk_identity> lsblk_identities(std::vector<std::string> devices) {
    std::vector<std::string> argv = {
        "lsblk", "-J", "-b", "-d", "-o", "NAME,WWN,MODEL,SERIAL,TRAN,ROTA,RO,LOG-SEC,PHY-SEC,HCTL"};
    argv.insert(argv.end(), devices.begin(), devices.end());
    std::string out, err;
    if (run_program(argv, &out, &err) != 0) throw std::runtime_error("lsblk failed: " + err);
    const nlohmann::json document = nlohmann::json::parse(out);
    std::map<std::string, nesk_disk_identity> rows;
    for (const nlohmann::json& row : document.at("blockdevices")) {
        if (row.size() != 10) throw std::runtime_error("lsblk row of another shape: " + row.dump());
        nesk_disk_identity& identity = rows[text(row, "name")];
        identity.wwn = text(row, "wwn");
        identity.model = text(row, "model");
        identity.model.erase(identity.model.find_last_not_of(' ') + 1);
        identity.serial = text(row, "serial");
        identity.transport = text(row, "tran");
        identity.rotational = boolean(row, "rota");
        identity.read_only = boolean(row, "ro");
        identity.logical_sector_size = number(row, "log-sec");
        identity.physical_sector_size = number(row, "phy-sec");
        identity.hctl = text(row, "hctl");
    }
    return rows;
}

using Properties = std::vector<std::pair<std::string, std::string>>;

// udev's records of the sandbox's disks. nvme1n1 has none: lsblk then reads
// model and serial from sysfs, as the library always does.
const std::map<std::string, UdevEntry>& udev_records() {
    static const std::map<std::string, UdevEntry> records = {
        // ata_id. Its model is the ATA IDENTIFY model, of which sysfs holds the
        // first 16 characters: this one is no longer.
        {"sda",
         {{"disk/by-id/ata-QEMU_HARDDISK_QM00001", "disk/by-id/wwn-0x5000c500a1b2c3d4"},
          Properties{{"ID_ATA", "1"},
                     {"ID_BUS", "ata"},
                     {"ID_MODEL", "QEMU_HARDDISK"},
                     {"ID_MODEL_ENC", "QEMU\\x20HARDDISK\\x20\\x20\\x20\\x20"},
                     {"ID_SERIAL", "QEMU_HARDDISK_QM00001"},
                     {"ID_SERIAL_SHORT", "QM00001"},
                     {"ID_WWN", "0x5000c500a1b2c3d4"},
                     {"ID_WWN_WITH_EXTENSION", "0x5000c500a1b2c3d4"}}}},
        {"sda1",
         {{"disk/by-id/ata-QEMU_HARDDISK_QM00001-part1", "disk/by-id/wwn-0x5000c500a1b2c3d4-part1"},
          Properties{{"ID_WWN", "0x5000c500a1b2c3d4"}, {"ID_PART_ENTRY_NUMBER", "1"}}}},
        // scsi_id, from the INQUIRY data and VPD pages 0x80 and 0x83.
        {"sdb",
         {{"disk/by-id/scsi-35000c500a1b2c3d5", "disk/by-id/wwn-0x5000c500a1b2c3d5"},
          Properties{{"ID_SCSI", "1"},
                     {"ID_BUS", "scsi"},
                     {"ID_VENDOR", "SEAGATE"},
                     {"ID_MODEL", "ST1200MM0099"},
                     {"ID_MODEL_ENC", "ST1200MM0099\\x20\\x20\\x20\\x20"},
                     {"ID_SERIAL", "35000c500a1b2c3d5"},
                     {"ID_SERIAL_SHORT", "5000c500a1b2c3d5"},
                     {"ID_SCSI_SERIAL", "WFK1ABCD0000K9261ZK1"},
                     {"ID_WWN", "0x5000c500a1b2c3d5"},
                     {"ID_WWN_WITH_EXTENSION", "0x5000c500a1b2c3d5"}}}},
        {"sdc",
         {{"disk/by-id/scsi-3600508b1001c4d5e6f7a8b9c0d1e2f30",
           "disk/by-id/wwn-0x600508b1001c4d5e6f7a8b9c0d1e2f30"},
          Properties{{"ID_SCSI", "1"},
                     {"ID_BUS", "scsi"},
                     {"ID_MODEL", "LOGICAL_VOLUME"},
                     {"ID_MODEL_ENC", "LOGICAL\\x20VOLUME\\x20\\x20"},
                     {"ID_SERIAL", "3600508b1001c4d5e6f7a8b9c0d1e2f30"},
                     {"ID_SCSI_SERIAL", "PDNLH0BRH9V1Y1"},
                     {"ID_WWN", "0x600508b1001c4d5e"},
                     {"ID_WWN_VENDOR_EXTENSION", "0x6f7a8b9c0d1e2f30"},
                     {"ID_WWN_WITH_EXTENSION", "0x600508b1001c4d5e6f7a8b9c0d1e2f30"}}}},
        // usb_id: the enclosure reports the same serial over USB and in page 0x80.
        {"sdd",
         {{"disk/by-id/usb-Samsung_PSSD_T7_S5TXNS0R123456-0:0"},
          Properties{{"ID_BUS", "usb"},
                     {"ID_MODEL", "PSSD_T7"},
                     {"ID_MODEL_ENC", "PSSD\\x20T7\\x20\\x20\\x20\\x20\\x20\\x20\\x20\\x20\\x20"},
                     {"ID_SERIAL", "Samsung_PSSD_T7_S5TXNS0R123456-0:0"},
                     {"ID_SERIAL_SHORT", "S5TXNS0R123456"}}}},
        {"sde",
         {{"disk/by-id/scsi-360002ac0000000000000000a0001b2c3",
           "disk/by-id/wwn-0x60002ac0000000000000000a0001b2c3"},
          Properties{{"ID_SCSI", "1"},
                     {"ID_BUS", "scsi"},
                     {"ID_MODEL", "VV"},
                     {"ID_MODEL_ENC",
                      "VV\\x20\\x20\\x20\\x20\\x20\\x20\\x20\\x20\\x20\\x20\\x20\\x20"
                      "\\x20\\x20"},
                     {"ID_SERIAL", "360002ac0000000000000000a0001b2c3"},
                     {"ID_SCSI_SERIAL", "4UW0002A1B"},
                     {"ID_WWN", "0x60002ac000000000"},
                     {"ID_WWN_WITH_EXTENSION", "0x60002ac0000000000000000a0001b2c3"}}}},
        // An EUI-64 is no World Wide Name to scsi_id: no ID_WWN, no wwn- link.
        {"sdf",
         {{"disk/by-id/scsi-20025385b71b0d3c1"},
          Properties{{"ID_SCSI", "1"},
                     {"ID_BUS", "scsi"},
                     {"ID_MODEL", "disk01"},
                     {"ID_MODEL_ENC", "disk01\\x20\\x20\\x20\\x20\\x20\\x20\\x20\\x20\\x20\\x20"},
                     {"ID_SERIAL", "20025385b71b0d3c1"},
                     {"ID_SCSI_SERIAL", "9d2e4c1b-7f0a-4d6e-8b3c-5a1f2e3d4c5b"}}}},
        // The NVMe rules: the controller's attributes and the namespace's wwid.
        {"nvme0n1",
         {{"disk/by-id/nvme-VIRTUAL_NVME_DISK_S4EVNF0M000001",
           "disk/by-id/nvme-VIRTUAL_NVME_DISK_S4EVNF0M000001_1",
           "disk/by-id/nvme-eui.00253885910c8ec3"},
          Properties{{"ID_SERIAL_SHORT", "S4EVNF0M000001"},
                     {"ID_WWN", "eui.00253885910c8ec3"},
                     {"ID_MODEL", "VIRTUAL NVME DISK"},
                     {"ID_REVISION", "1.0"},
                     {"ID_NSID", "1"},
                     {"ID_SERIAL", "VIRTUAL NVME DISK_S4EVNF0M000001"}}}},
    };
    return records;
}

// The bytes `hex` spells, two digits each.
std::string unhex(const std::string& hex) {
    std::string bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return bytes;
}

class IdentityTest : public SandboxTest {
protected:
    void SetUpNode() override {
        NodeSandbox& node = sandbox();
        node.add_scsi_host(0, HostKind::ata)
            .add_scsi_host(1, HostKind::sas)
            .add_scsi_host(2, HostKind::usb)
            .add_scsi_host(3, HostKind::fc)
            .add_scsi_host(4, HostKind::iscsi);
        node.add_scsi_disk(ScsiDisk("0:0:0:0", "sda")
                               .with_model("QEMU HARDDISK   ")
                               .with_serial("QM00001             ")
                               .with_wwid("naa.5000c500a1b2c3d4")
                               .with_partition(Partition("sda1", 1, 2048, 1024))
                               .with_rotational(false)
                               .with_sector_sizes(512, 4096));
        node.add_scsi_disk(ScsiDisk("1:0:0:0", "sdb")
                               .with_vendor("SEAGATE ")
                               .with_model("ST1200MM0099    ")
                               .with_serial("WFK1ABCD0000K9261ZK1")
                               .with_wwid("naa.5000c500a1b2c3d5")
                               .with_sector_sizes(512, 4096));
        // A kernel without wwid: the name comes from page 0x83, whose NAA 6
        // name of the logical unit comes before its NAA 5 one.
        node.add_scsi_disk(
            ScsiDisk("1:0:1:0", "sdc")
                .with_vendor("HPE     ")
                .with_model("LOGICAL VOLUME  ")
                .with_serial("PDNLH0BRH9V1Y1")
                .with_vpd_pg83(vpd_pg83_page(
                    {vpd_designator(2, 0, 1, "HPE     LOGICAL VOLUME  PDNLH0BRH9V1Y1"),
                     vpd_designator(1, 0, 2, unhex("0025385b71b0d3c1")),
                     vpd_designator(1, 0, 3, unhex("5001438012345678")),
                     vpd_designator(1, 0, 3, unhex("600508b1001c4d5e6f7a8b9c0d1e2f30"))})));
        node.add_scsi_disk(ScsiDisk("2:0:0:0", "sdd")
                               .with_vendor("Samsung ")
                               .with_model("PSSD T7         ")
                               .with_serial("S5TXNS0R123456")
                               .with_wwid("t10.Samsung PSSD T7         S5TXNS0R123456")
                               .with_rotational(false));
        node.add_scsi_disk(ScsiDisk("3:0:0:1", "sde")
                               .with_vendor("3PARdata")
                               .with_model("VV              ")
                               .with_serial("4UW0002A1B")
                               .with_wwid("naa.60002ac0000000000000000a0001b2c3")
                               .with_rotational(false)
                               .with_sector_sizes(512, 16384));
        node.add_scsi_disk(ScsiDisk("4:0:0:0", "sdf")
                               .with_vendor("LIO-ORG ")
                               .with_model("disk01          ")
                               .with_serial("9d2e4c1b-7f0a-4d6e-8b3c-5a1f2e3d4c5b")
                               .with_wwid("eui.0025385b71b0d3c1")
                               // The NAA name is the target port's, not the unit's.
                               .with_vpd_pg83(vpd_pg83_page(
                                   {vpd_designator(1, 0, 2, unhex("0025385b71b0d3c1")),
                                    vpd_designator(1, 1, 3, unhex("500140500a1b2c3d"))})));
        node.add_nvme(NvmeNamespace("nvme0n1")
                          .with_wwid("eui.00253885910c8ec3")
                          .with_sector_sizes(4096, 4096));
        NvmeNamespace read_only("nvme1n1");
        read_only.model = "SAMSUNG MZQL2960HCJR-00A07";
        read_only.serial = "S64FNE0R600123";
        node.add_nvme(read_only.with_read_only());
        for (const auto& record : udev_records()) node.add_udev_entry(record.first, record.second);
        node.add_dangling_link("/dev/disk/by-id/wwn-0x5000c500a1b2c3ff", "../../sdz");
    }
};

TEST_F(IdentityTest, MatchesLsblkOnTheSameTree) {
    struct Known {
        const char* name;
        const char* wwn;
        const char* transport;
        const char* hctl;
    };
    const Known known[] = {
        {"sda", "0x5000c500a1b2c3d4", "sata", "0:0:0:0"},
        {"sdb", "0x5000c500a1b2c3d5", "sas", "1:0:0:0"},
        {"sdc", "0x600508b1001c4d5e6f7a8b9c0d1e2f30", "sas", "1:0:1:0"},
        {"sdd", "", "usb", "2:0:0:0"},
        {"sde", "0x60002ac0000000000000000a0001b2c3", "fc", "3:0:0:1"},
        {"sdf", "", "iscsi", "4:0:0:0"},
        {"nvme0n1", "eui.00253885910c8ec3", "nvme", ""},
        {"nvme1n1", "", "nvme", ""},
    };
    const auto shown = lsblk_identities({});
    ASSERT_EQ(shown.size(), std::size(known));
    for (const Known& k : known) {
        SCOPED_TRACE(k.name);
        nesk_disk_identity identity;
        ASSERT_EQ(get_disk_identity(std::string("/dev/") + k.name, identity), 0);
        ASSERT_EQ(shown.count(k.name), 1u);
        EXPECT_EQ(shown_fields(identity), shown_fields(shown.at(k.name)));
        EXPECT_EQ(
            std::make_tuple(identity.wwn, identity.transport, identity.hctl),
            std::make_tuple(std::string(k.wwn), std::string(k.transport), std::string(k.hctl)));

        // The disk's own links, not its partition's nor a dangling one.
        std::vector<std::string> links;
        auto record = udev_records().find(k.name);
        if (record != udev_records().end())
            for (const std::string& link : record->second.links) links.push_back("/dev/" + link);
        std::sort(links.begin(), links.end());
        EXPECT_EQ(identity.by_id, links);
    }
}

TEST_F(IdentityTest, NoWholeDiskGivesMinusOneAndAnEmptyIdentity) {
    for (const char* device : {"/dev/sdz", "/dev/sda1", ""}) {
        SCOPED_TRACE(device);
        nesk_disk_identity identity;
        identity.wwn = identity.model = identity.hctl = "stale";
        identity.by_id = {"stale"};
        identity.read_only = identity.rotational = true;
        identity.logical_sector_size = 512;
        EXPECT_EQ(get_disk_identity(device, identity), -1);
        EXPECT_EQ(shown_fields(identity), shown_fields(nesk_disk_identity()));
        EXPECT_TRUE(identity.by_id.empty());
    }
}

// The kernel's own sysfs: a loop device has no SCSI address, transport,
// model or serial, and its read-only flag is the one it was set up with.
TEST(IdentityOfRealDevices, ReadOnlyLoopDeviceAsLsblkShowsIt) {
    const std::string why = NodeSandbox::unavailable_reason();
    if (!why.empty()) GTEST_SKIP() << why;
    for (bool read_only : {true, false}) {
        SCOPED_TRACE(read_only ? "read-only" : "writable");
        LoopDevice loop(1ULL << 20, read_only);
        nesk_disk_identity identity;
        ASSERT_EQ(get_disk_identity(loop.path(), identity), 0);
        EXPECT_EQ(identity.read_only, read_only);
        EXPECT_EQ(identity.logical_sector_size, 512u);
        const auto shown = lsblk_identities({loop.path()});
        ASSERT_EQ(shown.size(), 1u);
        EXPECT_EQ(shown_fields(identity), shown_fields(shown.begin()->second));
    }
}

}  // namespace
