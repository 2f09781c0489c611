// SCSI discovery on simulated nodes of 64, 512 and 4096 disks, beside a
// hand-written loop over the same sysfs files (the floor). Each iteration runs
// both, in alternating order, so that both see the same machine; the counters
// give the time per disk of each and their ratio, which should stay flat as the
// node grows. The second argument is the number of keys in the configuration
// store (every log set-up reads it). Times are CPU time of the running thread.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "nesk_blkdev.h"
#include "node_sandbox.h"
#include "test_support.h"

namespace {

using nesk_test::HostKind;
using nesk_test::NodeSandbox;
using nesk_test::ScopedPlatform;
using nesk_test::ScsiDisk;

std::unique_ptr<NodeSandbox> node;
std::unique_ptr<ScopedPlatform> platform;
long node_disks = -1;

// Kernel disk names: sda ... sdz, sdaa ...
std::string disk_name(unsigned long index) {
    std::string suffix;
    unsigned long n = index + 1;
    while (n > 0) {
        --n;
        suffix.insert(suffix.begin(), static_cast<char>('a' + n % 26));
        n /= 26;
    }
    return "sd" + suffix;
}

void build_node(long disks) {
    if (node_disks == disks) return;
    platform.reset();
    node.reset();
    node = std::make_unique<NodeSandbox>();
    platform = std::make_unique<ScopedPlatform>();  // its log lives in the node's /tmp
    // 256 targets per SAS host, a removable drive and an enclosure on the side.
    for (long i = 0; i < disks; ++i) {
        const unsigned long host = static_cast<unsigned long>(i) / 256 + 1;
        if (i % 256 == 0) node->add_scsi_host(static_cast<unsigned int>(host), HostKind::sas);
        const std::string address =
            std::to_string(host) + ":0:" + std::to_string(i % 256) + ":0";
        node->add_scsi_disk(ScsiDisk(address, disk_name(static_cast<unsigned long>(i)))
                                .with_vendor("SEAGATE ")
                                .with_model("ST4000NM0295    ")
                                .with_size(7814037168ULL)
                                .with_serial("ZC" + std::to_string(100000 + i) + "        "));
    }
    node->add_enclosure("0:0:200:0");
    node->add_scsi_disk(ScsiDisk::optical("0:0:0:0", "sr0"));
    node_disks = disks;
}

// A store of `keys` keys in the library's own section, debug level 0 last;
// none at all for 0.
void write_store(long keys) {
    if (keys == 0) {
        ::unlink(platform->config_file().c_str());
        return;
    }
    std::string text = "[Vantor]\n";
    for (long i = 1; i < keys; ++i)
        text += "sBenchKey" + std::to_string(i) + "=value " + std::to_string(i) + "\n";
    text += "nNESKUtilsDebugLevel=0\n";
    nesk_test::write_whole_file(platform->config_file(), text);
}

// ---- The floor: what a careful hand-written loop does for the same answer ----

struct floor_disk {
    std::string name, loc, vendor, product, serial;
    unsigned long long blocks = 0;
};

// Up to sizeof buffer bytes of `path`; -1 when it cannot be read.
ssize_t read_file(const std::string& path, char* buffer, size_t size) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    ssize_t n = ::read(fd, buffer, size);
    ::close(fd);
    return n;
}

std::string first_line_trimmed(const std::string& path) {
    char buffer[4096];
    ssize_t n = read_file(path, buffer, sizeof buffer);
    if (n <= 0) return std::string();
    std::string line(buffer, static_cast<size_t>(n));
    line.erase(std::min(line.find('\n'), line.size()));
    const char* blanks = " \t\r\n";
    size_t begin = line.find_first_not_of(blanks);
    if (begin == std::string::npos) return std::string();
    return line.substr(begin, line.find_last_not_of(blanks) - begin + 1);
}

bool is_dir(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

size_t floor_discovery(int log_fd) {
    const std::string scsi = "/sys/bus/scsi/devices";
    std::vector<std::pair<std::string, std::string>> found;  // address, kernel name
    DIR* dir = ::opendir(scsi.c_str());
    if (dir == nullptr) return 0;
    while (struct dirent* entry = ::readdir(dir)) {
        unsigned h, c, t, l;
        int used = 0;
        if (std::sscanf(entry->d_name, "%u:%u:%u:%u%n", &h, &c, &t, &l, &used) != 4 ||
            entry->d_name[used] != '\0')
            continue;
        DIR* block = ::opendir((scsi + "/" + entry->d_name + "/block").c_str());
        if (block == nullptr) continue;
        std::string kernel_name;
        int names = 0;
        while (struct dirent* b = ::readdir(block))
            if (b->d_name[0] != '.' && names++ == 0) kernel_name = b->d_name;
        ::closedir(block);
        struct stat st;
        if (names != 1 || ::stat(("/dev/" + kernel_name).c_str(), &st) != 0 ||
            !S_ISBLK(st.st_mode))
            continue;
        found.emplace_back(entry->d_name, kernel_name);
    }
    ::closedir(dir);
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) {
        return strcoll(a.first.c_str(), b.first.c_str()) < 0;
    });
    std::map<std::string, floor_disk> disks;
    for (const auto& f : found) {
        const std::string host = "/host" + std::to_string(std::atoi(f.first.c_str()));
        if (is_dir("/sys/class/fc_host" + host) || is_dir("/sys/class/iscsi_host" + host))
            continue;
        const std::string block = "/sys/block/" + f.second;
        if (std::atoi(first_line_trimmed(block + "/removable").c_str()) != 0) continue;
        floor_disk disk;
        disk.name = "/dev/" + f.second;
        disk.loc = f.first;
        disk.vendor = first_line_trimmed(scsi + "/" + f.first + "/vendor");
        disk.product = first_line_trimmed(scsi + "/" + f.first + "/model");
        disk.blocks = std::strtoull(first_line_trimmed(block + "/size").c_str(), nullptr, 0);
        char page[4096];
        ssize_t n = read_file(block + "/device/vpd_pg80", page, sizeof page);
        if (n >= 4) {
            disk.serial.assign(page + 4, std::min<size_t>(static_cast<size_t>(n) - 4,
                                                           static_cast<unsigned char>(page[3])));
            disk.serial.erase(disk.serial.find_last_not_of(' ') + 1);
        }
        char line[512];
        int length = std::snprintf(line, sizeof line,
                                   "Found block device [%s] with serial number [%s]\n",
                                   disk.name.c_str(), disk.serial.c_str());
        if (::write(log_fd, line, static_cast<size_t>(length)) < 0) return 0;
        disks.emplace(disk.name, std::move(disk));
    }
    return disks.size();
}

// ---- The library ----

size_t library_discovery() {
    nesk_blkdevmgr manager;
    if (manager.enumerate_scsi_blkdevs() != 0) return 0;
    return manager.blkdev_map.size();
}

double thread_cpu_seconds() {
    struct timespec now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// CPU time (user and system) that `work` takes on this thread: on a shared
// machine wall time mostly measures the wait for a core.
template <typename Work>
double seconds(Work work, size_t& found) {
    const double start = thread_cpu_seconds();
    found = work();
    return thread_cpu_seconds() - start;
}

void BM_ScsiDiscovery(benchmark::State& state) {
    const std::string why = NodeSandbox::unavailable_reason();
    if (!why.empty()) {
        state.SkipWithError(why.c_str());
        return;
    }
    const long disks = state.range(0);
    build_node(disks);
    write_store(state.range(1));
    const std::string floor_log = platform->log_dir() + "/floor.log";
    double library_total = 0;
    double floor_total = 0;
    bool library_first = true;
    for (auto _ : state) {
        int log_fd = ::open(floor_log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC,
                            0644);
        size_t library_found = 0;
        size_t floor_found = 0;
        double library_time = 0;
        double floor_time = 0;
        if (library_first) {
            library_time = seconds(library_discovery, library_found);
            floor_time = seconds([log_fd] { return floor_discovery(log_fd); }, floor_found);
        } else {
            floor_time = seconds([log_fd] { return floor_discovery(log_fd); }, floor_found);
            library_time = seconds(library_discovery, library_found);
        }
        ::close(log_fd);
        library_first = !library_first;
        if (library_found != static_cast<size_t>(disks) ||
            floor_found != static_cast<size_t>(disks)) {
            state.SkipWithError("a variant did not find every simulated disk");
            break;
        }
        state.SetIterationTime(library_time);
        library_total += library_time;
        floor_total += floor_time;
        // Each disk writes one "Found block device" line: keep the log small.
        if (truncate(platform->log_file().c_str(), 0) != 0 && errno != ENOENT) {
            state.SkipWithError("cannot truncate the log");
            break;
        }
    }
    const double runs = static_cast<double>(state.iterations()) * static_cast<double>(disks);
    if (runs > 0 && floor_total > 0) {
        state.counters["library_us_per_disk"] = library_total / runs * 1e6;
        state.counters["floor_us_per_disk"] = floor_total / runs * 1e6;
        state.counters["ratio"] = library_total / floor_total;
    }
}
BENCHMARK(BM_ScsiDiscovery)
    ->ArgNames({"disks", "store_keys"})
    ->ArgsProduct({{64, 512, 4096}, {0, 40}})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    // Enter the private mount namespace while the process is single-threaded.
    NodeSandbox::unavailable_reason();
    benchmark::RunSpecifiedBenchmarks();
    platform.reset();
    node.reset();
    benchmark::Shutdown();
    return 0;
}
