// Typed access to the "Vantor" section of the configuration store, and the
// node-kind questions answered from it: platform type, host-naming scheme,
// installed package, EFI boot.
#include "nesk_utils.h"

#include <algorithm>
#include <vector>

#include "ZAVPlatformInfo.h"

namespace {

const char k_section[] = "Vantor";

// Platform type codes of gettessera_type.
const int k_platform_tessera = 1;
const int k_platform_reference = 2;
const int k_platform_unknown = 255;

// The package whose presence makes a node a Tessera Vantor node.
const int k_vantor_package = 1139;

}  // namespace

int nesk_utils::get_reg_key(std::string key, std::string& value) {
    ZAVPlatformInfo store;
    std::string stored;
    // A key present with an empty value counts as missing.
    if (!store.getString(k_section, key, &stored) || stored.empty()) return -1;
    value = stored;
    return 0;
}

int nesk_utils::set_reg_key(std::string key, std::string value) {
    ZAVPlatformInfo store;
    return store.setString(k_section, key, value.c_str(), static_cast<int>(value.size())) ? 0
                                                                                           : -1;
}

int nesk_utils::get_reg_key(std::string key, unsigned int& value) {
    ZAVPlatformInfo store;
    // The store keeps the low 32 bits of a wider number: 2^32 reads as 0.
    return store.getNumber(k_section, key, &value) ? 0 : -1;
}

int nesk_utils::set_reg_key(std::string key, unsigned int value) {
    ZAVPlatformInfo store;
    return store.setNumber(k_section, key, static_cast<unsigned long>(value)) ? 0 : -1;
}

int nesk_utils::gettessera_type() {
    std::string type;
    if (get_reg_key("sScaleoutPlatformType", type) != 0) return k_platform_unknown;
    if (type == "Tessera") return k_platform_tessera;
    if (type == "ReferenceArchitecture") return k_platform_reference;
    return k_platform_unknown;
}

int nesk_utils::get_sds_type() {
    std::string value;
    if (gettessera_type() == k_platform_reference) {
        // Images of release 2 name the scheme-2 nodes; the marker must be the
        // only, or at least the last, occurrence and start the identifier.
        if (get_reg_key("sTesseraImageidentifier", value) != 0) return 1;
        return value.rfind("Vornik Tessera 2.") == 0 ? 2 : 1;
    }
    if (get_reg_key("sTesseraApplianceType", value) != 0) return 1;
    return value == "AP0100" || value == "AP0200" ? 1 : 2;
}

int nesk_utils::is_tessera_vantor() {
    // The platform expects an event context held around the focus query.
    // Destroyed in reverse order: store, event, list.
    std::vector<int> packages;
    [[maybe_unused]] EvEvent event;
    ZAVPlatformInfo store;
    store.setFocus(ZAVPI_Focus::getFocus());
    if (!store.GetListOfInstalledPackages(packages)) return 0;
    return std::find(packages.begin(), packages.end(), k_vantor_package) != packages.end() ? 1
                                                                                           : 0;
}

bool nesk_utils::is_efi_platform() { return is_dir("/sys/firmware/efi"); }
