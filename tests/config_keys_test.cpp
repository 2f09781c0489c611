// Configuration keys and the node kind, against a real store file.
#include <sys/stat.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ZAVPlatformInfo.h"
#include "nesk_utils.h"
#include "node_sandbox.h"
#include "test_support.h"

namespace {

using namespace nesk_test;

// A key of section "Vantor" holding `value`, or absent for nullptr.
struct Key {
    const char* name;
    const char* value;
};

void store_keys(const ScopedPlatform& platform, const std::vector<Key>& keys) {
    std::string text = "[Vantor]\n";
    for (const Key& key : keys)
        if (key.value) text += std::string(key.name) + "=" + key.value + "\n";
    write_whole_file(platform.config_file(), text);
}

TEST(ConfigKeys, TextKeysReadBackExactlyAndEmptyCountsAsMissing) {
    ScopedPlatform platform;
    ASSERT_EQ(nesk_utils::set_reg_key("sName", std::string(" padded value ")), 0);
    ASSERT_EQ(nesk_utils::set_reg_key("sEmpty", std::string()), 0);

    std::string value = "caller's";
    EXPECT_EQ(nesk_utils::get_reg_key("sName", value), 0);
    EXPECT_EQ(value, " padded value ");
    for (const char* missing : {"sEmpty", "sAbsent"}) {
        value = "caller's";
        EXPECT_EQ(nesk_utils::get_reg_key(missing, value), -1) << missing;
        EXPECT_EQ(value, "caller's") << missing;
    }
    // The section is "Vantor", and a value the file cannot hold is refused.
    ZAVPlatformInfo store;
    std::string raw;
    EXPECT_NE(store.getString("Vantor", "sName", &raw), 0);
    EXPECT_EQ(nesk_utils::set_reg_key("sBad", std::string("two\nlines")), -1);
}

TEST(ConfigKeys, NumbersKeepTheirLow32Bits) {
    ScopedPlatform platform;
    ASSERT_EQ(nesk_utils::set_reg_key("nCount", 4294967295u), 0);
    ZAVPlatformInfo store;
    ASSERT_NE(store.setNumber("Vantor", "nWide", 4294967296ul), 0);
    ASSERT_NE(store.setNumber("Vantor", "nWider", 4294967296ul + 7), 0);
    ASSERT_NE(store.setString("Vantor", "nText", "12a", 3), 0);

    const struct {
        const char* key;
        int result;
        unsigned int value;
    } rows[] = {{"nCount", 0, 4294967295u}, {"nWide", 0, 0}, {"nWider", 0, 7},
                {"nText", -1, 99},          {"nAbsent", -1, 99}};
    for (const auto& row : rows) {
        unsigned int value = 99;
        EXPECT_EQ(nesk_utils::get_reg_key(row.key, value), row.result) << row.key;
        EXPECT_EQ(value, row.value) << row.key;
    }
}

TEST(ConfigKeys, PlatformTypeComparesExactly) {
    const struct {
        const char* value;
        int type;
    } rows[] = {{nullptr, 255},         {"", 255},          {"Tessera", 1},
                {"ReferenceArchitecture", 2}, {"tessera", 255}, {" Tessera", 255},
                {"Tessera ", 255},      {"Other", 255}};
    for (const auto& row : rows) {
        ScopedPlatform platform;
        store_keys(platform, {{"sScaleoutPlatformType", row.value}});
        EXPECT_EQ(nesk_utils::gettessera_type(), row.type) << (row.value ? row.value : "(absent)");
    }
}

TEST(ConfigKeys, NamingSchemeDecisionTable) {
    const struct {
        const char* platform;
        const char* image;
        const char* appliance;
        int scheme;
    } rows[] = {
        // Platform type 2: the image identifier decides.
        {"ReferenceArchitecture", nullptr, "AP0300", 1},
        {"ReferenceArchitecture", "", "AP0300", 1},
        {"ReferenceArchitecture", "Vornik Tessera 2.", nullptr, 2},
        {"ReferenceArchitecture", "Vornik Tessera 2.4.1-build7", nullptr, 2},
        {"ReferenceArchitecture", "Vornik Tessera 3.0", nullptr, 1},
        {"ReferenceArchitecture", "Image Vornik Tessera 2.4", nullptr, 1},
        {"ReferenceArchitecture", "Vornik Tessera 2.4 from Vornik Tessera 2.3", nullptr, 1},
        {"ReferenceArchitecture", "vornik tessera 2.4", nullptr, 1},
        // Platform type 1 or 255: the appliance type decides.
        {"Tessera", "Vornik Tessera 2.4", nullptr, 1},
        {"Tessera", nullptr, "", 1},
        {"Tessera", nullptr, "AP0100", 1},
        {"Tessera", nullptr, "AP0200", 1},
        {"Tessera", nullptr, "AP0300", 2},
        {"Tessera", nullptr, "ap0100", 2},
        {nullptr, nullptr, nullptr, 1},
        {nullptr, nullptr, "AP0200", 1},
        {"Something", nullptr, "AP0100 ", 2},
    };
    for (const auto& row : rows) {
        ScopedPlatform platform;
        store_keys(platform, {{"sScaleoutPlatformType", row.platform},
                    {"sTesseraImageidentifier", row.image},
                    {"sTesseraApplianceType", row.appliance}});
        EXPECT_EQ(nesk_utils::get_sds_type(), row.scheme)
            << (row.platform ? row.platform : "-") << " / " << (row.image ? row.image : "-")
            << " / " << (row.appliance ? row.appliance : "-");
    }
}

TEST(ConfigKeys, VantorPackageIsLookedUpUnderTheCurrentFocus) {
    const struct {
        const char* store;
        int result;
    } rows[] = {
        {"", 0},
        {"[Packages]\nids=17, 1139\n", 1},
        {"[Packages]\nids=17 11390 113\n", 0},
        {"[Platform]\nfocus=inst2\n[inst2/Packages]\nids=1139\n[Packages]\nids=5\n", 1},
        {"[Platform]\nfocus=inst2\n[inst2/Packages]\nids=5\n[Packages]\nids=1139\n", 0},
        {"[Packages]\nids=1139, not-a-number\n", 0},
    };
    for (const auto& row : rows) {
        ScopedPlatform platform;
        write_whole_file(platform.config_file(), row.store);
        EXPECT_EQ(nesk_utils::is_tessera_vantor(), row.result) << row.store;
    }
}

TEST(ConfigKeys, UnreadableStoreGivesTheDefaults) {
    TempDir dir;
    // A directory, not a file, inside the scratch directory (a write puts its
    // lock file beside the store).
    const std::string not_a_file = dir.file("config.ini");
    ASSERT_EQ(::mkdir(not_a_file.c_str(), 0755), 0);
    ScopedEnv store("NESK_CONFIG_FILE", not_a_file);
    std::string text = "caller's";
    unsigned int number = 99;
    EXPECT_EQ(nesk_utils::get_reg_key("sScaleoutPlatformType", text), -1);
    EXPECT_EQ(nesk_utils::get_reg_key("nCount", number), -1);
    EXPECT_EQ(text, "caller's");
    EXPECT_EQ(number, 99u);
    EXPECT_EQ(nesk_utils::set_reg_key("sName", std::string("x")), -1);
    EXPECT_EQ(nesk_utils::set_reg_key("nCount", 1u), -1);
    EXPECT_EQ(nesk_utils::gettessera_type(), 255);
    EXPECT_EQ(nesk_utils::get_sds_type(), 1);
    EXPECT_EQ(nesk_utils::is_tessera_vantor(), 0);
}

using ConfigKeysOnNode = nesk_test::SandboxTest;

TEST_F(ConfigKeysOnNode, EfiPlatformNeedsTheFirmwareDirectory) {
    EXPECT_FALSE(nesk_utils::is_efi_platform());
    sandbox().write_file("/sys/firmware/efi", "");
    EXPECT_FALSE(nesk_utils::is_efi_platform());
    sandbox().remove("/sys/firmware/efi").make_dir("/sys/firmware/efi/efivars");
    EXPECT_TRUE(nesk_utils::is_efi_platform());
    sandbox().remove("/sys/firmware/efi").make_link("/sys/firmware/efi", "/sys/firmware/real-efi");
    sandbox().make_dir("/sys/firmware/real-efi");
    EXPECT_TRUE(nesk_utils::is_efi_platform());
}

}  // namespace
