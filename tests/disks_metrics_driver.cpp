// Reads a report in nesk-disks' JSON document (as "nesk-disks --all --json"
// prints it) on standard input and prints it as Prometheus metrics, stamped
// with the current time, as nesk-disks --metrics prints them:
//   nesk-disks --all --json | disks_metrics_driver > nesk_disks.prom
// Exit status 0; 1 with a message on standard error when the input is not
// such a document or the output cannot be written.
#include <chrono>
#include <cstdio>
#include <exception>
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>

#include "disks_metrics.h"

int main() {
    try {
        const auto doc = nlohmann::ordered_json::parse(std::cin);
        const std::string text = nesk_disks::metrics_text(doc, std::chrono::system_clock::now());
        if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() ||
            std::fflush(stdout) != 0) {
            std::fprintf(stderr, "disks_metrics_driver: cannot write the metrics\n");
            return 1;
        }
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "disks_metrics_driver: %s\n", e.what());
        return 1;
    }
}
