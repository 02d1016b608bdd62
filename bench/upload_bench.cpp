// Upload path figures: CRC-64 throughput on one core, the time to upload 256 MiB to a
// local Azurite with 4 blocks in flight beside the official Azure SDK for JavaScript
// doing the same (against a stock Azurite, and against one whose own CRC-64 check is no
// longer the slowest part), and the peak memory of the uploading process.
//
//   upload_bench                      everything (needs node and devstack/, bench/ npm installs)
//   upload_bench --benchmark_filter=Crc64   only the Google Benchmark CRC cases
//
// Our upload runs in a fresh child process (this program re-run with --upload-child) so
// that its peak resident memory is the upload's own.

#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "base/Clock.h"
#include "platform/linux/CurlTransport.h"
#include "support/AzuriteServer.h"
#include "support/TempDir.h"
#include "upload/BlockBlobUploader.h"
#include "upload/Crc64.h"
#include "upload/FileStagedBlockStore.h"

namespace {

using namespace kavo;

constexpr std::int64_t kMiB = 1024 * 1024;
constexpr std::int64_t kUploadSize = 256 * kMiB;

std::string randomBytes(std::size_t size) {
    std::string bytes(size, '\0');
    std::mt19937_64 random(42);
    for (std::size_t i = 0; i + 8 <= size; i += 8) {
        const std::uint64_t v = random();
        std::memcpy(bytes.data() + i, &v, 8);
    }
    return bytes;
}

void BM_Crc64(benchmark::State& state) {
    const std::string block = randomBytes(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(Crc64::of(block));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Crc64)->Arg(4 * 1024)->Arg(4 * kMiB);

void BM_Crc64Tables(benchmark::State& state) {
    const std::string block = randomBytes(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(Crc64::updateWithTables(0, block.data(), block.size()));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Crc64Tables)->Arg(4 * kMiB);

double threadSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Best of several passes over 4 MiB blocks, the size every Put Block checksums. On a
// shared machine the wall clock also counts other work, so both times are given; the
// thread's CPU time is one core's own rate.
std::pair<double, double> crcGigabytesPerSecond(bool tablesOnly) {
    const std::string block = randomBytes(4 * kMiB);
    double bestCPU = 0, bestWall = 0;
    std::uint64_t sink = 0;
    for (int pass = 0; pass < 7; ++pass) {
        const double start = threadSeconds();
        const auto wallStart = std::chrono::steady_clock::now();
        for (int i = 0; i < 32; ++i)
            sink ^= tablesOnly ? Crc64::updateWithTables(sink, block.data(), block.size())
                               : Crc64::of(block);
        const double gigabytes = 32.0 * static_cast<double>(block.size()) / 1e9;
        bestCPU = std::max(bestCPU, gigabytes / (threadSeconds() - start));
        bestWall = std::max(bestWall, gigabytes / std::chrono::duration<double>(
                                                      std::chrono::steady_clock::now() - wallStart)
                                                      .count());
    }
    benchmark::DoNotOptimize(sink);
    return {bestCPU, bestWall};
}

long statusKilobytes(const char* field) {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind(field, 0) == 0) return std::stol(line.substr(std::strlen(field)));
    return -1;
}

// The child: one staged upload, then "seconds baselineKiB peakKiB cpuSeconds" on stdout.
int uploadChild(const std::string& file, const std::string& sasURL, const std::string& storeFile) {
    linux_platform::CurlGlobal global;
    linux_platform::CurlTransport transport(global);
    FileStagedBlockStore store(storeFile);
    const BlockBlobUploader uploader(transport, store, 4 * kMiB, 4);
    const long baseline = statusKilobytes("VmRSS:");
    const auto start = std::chrono::steady_clock::now();
    const auto outcome = uploader.upload(file, kUploadSize, sasURL, "audio/wav", "bench",
                                         std::chrono::system_clock::now() + std::chrono::hours(1));
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (outcome.kind() != BlockBlobUploader::Outcome::Kind::uploaded) return 1;
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                       static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    std::printf("%.3f %ld %ld %.3f\n", seconds, baseline, statusKilobytes("VmHWM:"), cpu);
    return 0;
}

std::string runCommand(const std::string& command) {
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
    if (!pipe) throw std::runtime_error("could not run: " + command);
    std::string out;
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, pipe.get())) out += buffer;
    return out;
}

// CPU seconds a process has used so far (user and system), from /proc.
double cpuSeconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // Fields after the command name, which is in parentheses and may hold spaces.
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    double user = 0, system = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14) user = std::stod(field);
        if (i == 15) system = std::stod(field);
    }
    return (user + system) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

std::string quoted(const std::string& text) {
    return "'" + text + "'";
}

// Best of the rounds for one client: wall time, the CPU its own process used, and the
// CPU the storage server spent serving it.
struct Figures {
    double seconds = 1e9;
    double clientCPU = 1e9;
    double storageCPU = 1e9;

    void keepBest(double wall, double client, double storage) {
        seconds = std::min(seconds, wall);
        clientCPU = std::min(clientCPU, client);
        storageCPU = std::min(storageCPU, storage);
    }
};

struct Comparison {
    Figures kavo;
    Figures sdk;
    long baselineKiB = 0;
    long peakKiB = 0;
};

// Three rounds of our upload and the SDK's to one Azurite, taking turns to go first so
// that neither always meets a warmer server.
Comparison compare(const char* self, const testing::AzuriteServer& azurite,
                   const std::filesystem::path& file, const testing::TempDir& dir) {
    linux_platform::CurlGlobal global;
    linux_platform::CurlTransport transport(global);
    azurite.createContainer(transport, "bench");
    const auto sdkScript = std::filesystem::path(KAVO_SOURCE_DIR) / "bench" / "sdk_upload.mjs";
    const auto expiry = std::chrono::system_clock::now() + std::chrono::hours(2);
    Comparison result;

    const auto ours = [&](int round) {
        const std::string blob = "kavo-" + std::to_string(round) + ".wav";
        const auto staged =
            dir / ("staged-" + std::to_string(azurite.port()) + "-" + blob + ".json");
        const double storageBefore = cpuSeconds(azurite.pid());
        std::istringstream child(runCommand(
            quoted(self) + " --upload-child " + quoted(file.string()) + " " +
            quoted(azurite.sasURL("bench", blob, expiry)) + " " + quoted(staged.string())));
        const double storageCPU = cpuSeconds(azurite.pid()) - storageBefore;
        double seconds = 0, clientCPU = 0;
        long baseline = 0, peak = 0;
        if (!(child >> seconds >> baseline >> peak >> clientCPU))
            throw std::runtime_error("our upload failed");
        result.kavo.keepBest(seconds, clientCPU, storageCPU);
        result.peakKiB = std::max(result.peakKiB, peak);
        result.baselineKiB = baseline;
    };
    const auto sdk = [&](int round) {
        const std::string blob = "sdk-" + std::to_string(round) + ".wav";
        const double storageBefore = cpuSeconds(azurite.pid());
        const std::string out =
            runCommand("node " + quoted(sdkScript.string()) + " " + quoted(file.string()) + " " +
                       quoted(azurite.sasURL("bench", blob, expiry, "rcw")) + " 2>&1");
        const double storageCPU = cpuSeconds(azurite.pid()) - storageBefore;
        std::istringstream fields(out);
        double seconds = 0, clientCPU = 0;
        if (!(fields >> seconds >> clientCPU))
            throw std::runtime_error("SDK upload failed (npm ci --prefix bench?): " + out);
        result.sdk.keepBest(seconds, clientCPU, storageCPU);
    };
    for (int round = 0; round < 3; ++round) {
        if (round % 2 == 0) {
            ours(round);
            sdk(round);
        } else {
            sdk(round);
            ours(round);
        }
    }
    return result;
}

void printComparison(const Comparison& figures) {
    const auto rate = [](double seconds) {
        return static_cast<double>(kUploadSize) / seconds / 1e6;
    };
    std::printf("  kavo, 4 blocks in flight:                      %.2f s (%.0f MB/s)\n",
                figures.kavo.seconds, rate(figures.kavo.seconds));
    std::printf("  @azure/storage-blob uploadFile, 4 MiB x 4:     %.2f s (%.0f MB/s)\n",
                figures.sdk.seconds, rate(figures.sdk.seconds));
    std::printf("  kavo time / SDK time: %.2f (target <= 1.00)\n",
                figures.kavo.seconds / figures.sdk.seconds);
    std::printf("  CPU of the uploading process: kavo %.2f s, SDK %.2f s\n", figures.kavo.clientCPU,
                figures.sdk.clientCPU);
    std::printf("  CPU Azurite spent serving it: kavo %.2f s, SDK %.2f s\n",
                figures.kavo.storageCPU, figures.sdk.storageCPU);
}

void uploadScenario(const char* self) {
    testing::TempDir dir;
    const auto file = dir / "recording.wav";
    {
        const std::string bytes = randomBytes(static_cast<std::size_t>(kUploadSize));
        std::ofstream(file, std::ios::binary)
            .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }

    Comparison stock;
    {
        const testing::AzuriteServer azurite;
        stock = compare(self, azurite, file, dir);
    }
    std::printf(
        "upload 256 MiB to Azurite on loopback (Azurite checks each block with a CRC-64 it\n"
        "computes a byte at a time in JavaScript, for every client alike):\n");
    printComparison(stock);

    Comparison faster;
    {
        const testing::AzuriteServer azurite(std::vector<std::string>{
            "-r", (std::filesystem::path(KAVO_SOURCE_DIR) / "bench" / "azurite-fast-crc64.cjs")
                      .string()});
        faster = compare(self, azurite, file, dir);
    }
    std::printf(
        "the same with Azurite's CRC-64 swapped for a table-driven one (same values, every block\n"
        "still checked), so that the clients rather than that loop set the pace:\n");
    printComparison(faster);

    const long peakKiB = std::max(stock.peakKiB, faster.peakKiB);
    const double targetMB = (4 + 1) * 4.0 * static_cast<double>(kMiB) / 1e6 + 30;
    std::printf("peak resident memory of our uploading process: %.1f MB (target <= %.1f MB)\n",
                static_cast<double>(peakKiB) * 1024 / 1e6, targetMB);
    std::printf("peak memory added by the upload: %.1f MB\n",
                static_cast<double>(peakKiB - stock.baselineKiB) * 1024 / 1e6);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::strcmp(argv[1], "--upload-child") == 0)
        return uploadChild(argv[2], argv[3], argv[4]);

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    const auto [clmulCPU, clmulWall] = crcGigabytesPerSecond(false);
    const auto [tablesCPU, tablesWall] = crcGigabytesPerSecond(true);
    std::printf("crc64 on one core%s: %.2f GB/s of CPU time, %.2f GB/s wall clock (target >= 2)\n",
                Crc64::hasCarrylessMultiply() ? ", carry-less multiply"
                                              : ", tables (no carry-less multiply)",
                clmulCPU, clmulWall);
    std::printf(
        "crc64 on one core, sliced tables only: %.2f GB/s of CPU time, %.2f GB/s wall clock\n",
        tablesCPU, tablesWall);
    try {
        uploadScenario(std::filesystem::read_symlink("/proc/self/exe").c_str());
    } catch (const std::exception& error) {
        std::printf("upload scenario failed: %s\n", error.what());
        return 1;
    }
    return 0;
}
