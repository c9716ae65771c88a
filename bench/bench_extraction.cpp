// bench_extraction: how fast and how lean the launcher's extraction is.
//
// For engines of 1, 16 and 128 MiB of engine-like bytes it builds a package
// with the package writer, writes it to disk, and then, in child processes so
// that each run's peak memory is its own:
//   - runs the launcher's real main sequence on PosixPlatform (real files, a
//     no-op start) and times it from the start of verification to the close
//     of the temporary copy;
//   - runs `xz --format=raw --lzma1=... -d` on the same raw LZMA stream into
//     a file in the same folder, timed from fork to exit.
// Peak memory is ru_maxrss of each child (from wait4) minus that of a child
// that does nothing, so what the parent holds does not count.  Finally it
// compares the CRC-32's throughput with a plain byte-wise table.
//
// Usage: bench_extraction [--sizes 1,16,128] [--repeat 3] [--preset 2]
//                         [--folder /tmp]
// The packages are compressed with xz's preset 2 by default: preset 6
// manages about 1 MB/s here, two minutes for the 128 MiB engine alone, and
// its streams decode at much the same speed (measured: 36 MB/s against
// 32 MB/s on this machine), so --preset 6 is for when there is time.
// Figures only: nothing here passes or fails on time.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <malloc.h>
#include <string>
#include <vector>

#include "CRC32/CRC32.h"
#include "PackageWriter.h"
#include "PosixPlatform.h"
#include "StubCore/StubCore.h"

namespace {

constexpr uint64_t kMiB = 1u << 20;

struct Options {
    std::vector<uint32_t> sizesMiB{1, 16, 128};
    int repeat = 3;
    uint32_t preset = 2;
    std::string folder = "/tmp";
};

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// -- engine-like bytes -------------------------------------------------------------

struct Rng {
    uint64_t s;
    explicit Rng(uint64_t seed) : s(seed * 0x9E3779B97F4A7C15ull + 1) {}
    uint64_t Next() {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        return s;
    }
    uint32_t Below(uint32_t n) { return static_cast<uint32_t>(Next() % n); }
};

void Put32(Bytes& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// Machine code: common x86 instruction shapes with operands drawn the way a
// compiler's are (small frame offsets, calls into a few regions).
void AppendCode(Bytes& out, size_t n, Rng& r) {
    const size_t end = out.size() + n;
    while (out.size() < end) {
        switch (r.Below(16)) {
        case 0: out.insert(out.end(), {0x55, 0x8B, 0xEC}); break;                        // push ebp; mov ebp, esp
        case 1: out.insert(out.end(), {0x83, 0xEC, static_cast<uint8_t>(4 * r.Below(16))}); break;
        case 2: out.push_back(0xE8); Put32(out, 0xFFFF0000u + r.Below(0x10000) * 4); break;  // call rel32
        case 3: out.insert(out.end(), {0x8B, 0x45, static_cast<uint8_t>(4 * r.Below(8) + 8)}); break;
        case 4: out.insert(out.end(), {0x89, 0x45, static_cast<uint8_t>(0xFC - 4 * r.Below(8))}); break;
        case 5: out.insert(out.end(), {0xFF, 0x15}); Put32(out, 0x00402000u + 4 * r.Below(64)); break;
        case 6: out.insert(out.end(), {0x5D, 0xC3}); break;                              // pop ebp; ret
        case 7: out.insert(out.end(), {0x6A, static_cast<uint8_t>(r.Below(4))}); break;
        case 8: out.push_back(static_cast<uint8_t>(0x50 + r.Below(8))); break;           // push reg
        case 9: out.insert(out.end(), {0x85, 0xC0}); break;                              // test eax, eax
        case 10: out.insert(out.end(), {static_cast<uint8_t>(0x74 + r.Below(2)), static_cast<uint8_t>(r.Below(64))}); break;
        case 11: out.insert(out.end(), {0x33, 0xC0}); break;                             // xor eax, eax
        case 12: out.insert(out.end(), {0x8D, 0x4D, static_cast<uint8_t>(0xF0 - 4 * r.Below(4))}); break;
        case 13: out.insert(out.end(), {0xC7, 0x45, static_cast<uint8_t>(0xF8)}); Put32(out, r.Below(3)); break;
        case 14: out.insert(out.end(), {0x0F, 0x84}); Put32(out, r.Below(0x400)); break;
        default: out.insert(out.end(), {0x8B, static_cast<uint8_t>(0xC0 + r.Below(64))}); break;
        }
    }
}

// Resource and message strings, ASCII and UTF-16.
void AppendStrings(Bytes& out, size_t n, Rng& r) {
    static const char* const kWords[] = {
        "setup", "install", "the", "program", "files", "folder", "please", "wait", "error", "cannot",
        "open", "file", "version", "license", "agreement", "next", "back", "cancel", "finish", "user",
        "components", "registry", "shortcut", "desktop", "start", "menu", "uninstall", "update", "system",
        "%s", "%d", "Microsoft", "Windows", "Software", "Copyright", "(c)", "All", "rights", "reserved"};
    const size_t end = out.size() + n;
    const bool wide = r.Below(2);
    while (out.size() < end) {
        const int words = 1 + static_cast<int>(r.Below(8));
        for (int w = 0; w < words; ++w) {
            const char* word = kWords[r.Below(sizeof kWords / sizeof *kWords)];
            for (const char* p = word; *p; ++p) {
                out.push_back(static_cast<uint8_t>(*p));
                if (wide) out.push_back(0);
            }
            out.push_back(' ');
            if (wide) out.push_back(0);
        }
        out.push_back(0);
        if (wide) out.push_back(0);
    }
}

// Pointer and relocation tables: rising 32-bit values with a little noise.
void AppendTable(Bytes& out, size_t n, Rng& r) {
    uint32_t v = 0x00401000u + 16 * r.Below(0x1000);
    for (size_t i = 0; i < n; i += 4) {
        v += 4 + 4 * r.Below(8);
        Put32(out, v);
    }
}

// Compressed resources (images, cabinets): no redundancy left.
void AppendRandom(Bytes& out, size_t n, Rng& r) {
    for (size_t i = 0; i < n; i += 8) Put32(out, static_cast<uint32_t>(r.Next())), Put32(out, static_cast<uint32_t>(r.Next() >> 32));
}

// About half code, the rest strings, tables, padding and incompressible
// resources, in sections of 4 to 256 KiB.  The same size always gives the
// same bytes.
Bytes MakeEngine(size_t size) {
    Rng r(size);
    Bytes out;
    out.reserve(size + 300000);
    out.insert(out.end(), {'M', 'Z'});
    out.resize(64, 0);
    out[0x3C] = 0x80;
    while (out.size() < size) {
        const size_t n = 4096 + r.Below(252 * 1024);
        const uint32_t kind = r.Below(100);
        if (kind < 50) AppendCode(out, n, r);
        else if (kind < 65) AppendStrings(out, n, r);
        else if (kind < 72) AppendTable(out, n, r);
        else if (kind < 78) out.resize(out.size() + n, 0);
        else AppendRandom(out, n, r);
    }
    out.resize(size);
    return out;
}

// A stand-in launcher image: "MZ" and e_lfanew = 256; the launcher never
// looks at its own image beyond the locator.
Bytes Stub() {
    Bytes stub(1024, 0);
    stub[0] = 'M';
    stub[1] = 'Z';
    stub[0x3D] = 0x01;
    return stub;
}

// -- the byte-wise CRC-32 to compare with ---------------------------------------------

uint32_t ByteWiseCrc32(const uint8_t* data, size_t length) {
    static uint32_t table[256];
    if (!table[1]) {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
            table[i] = c;
        }
    }
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < length; ++i) c = (c >> 8) ^ table[(c ^ data[i]) & 0xFF];
    return ~c;
}

// -- files and children ------------------------------------------------------------------

void WriteFile(const std::string& path, const uint8_t* data, size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!out) throw std::runtime_error("cannot write " + path);
}

bool FileCrc(const std::string& path, uint32_t& crc, uint64_t& size) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    static uint8_t buffer[1 << 20];
    crc = 0;
    size = 0;
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0) {
        crc = Crc32Update(crc, buffer, static_cast<uint32_t>(n));
        size += static_cast<uint64_t>(n);
    }
    close(fd);
    return true;
}

struct ChildResult {
    int status = -1;
    long maxRssKiB = 0;
    double wallMs = 0;
};

// Forks, runs body in the child (which must end with _exit), waits.
template <typename Body>
ChildResult RunChild(Body body) {
    std::fflush(stdout);
    std::fflush(stderr);
    const Clock::time_point t0 = Clock::now();
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
    if (pid == 0) {
        body();
        _exit(0);
    }
    ChildResult result;
    struct rusage usage {};
    while (wait4(pid, &result.status, 0, &usage) < 0 && errno == EINTR) {
    }
    result.wallMs = Ms(Clock::now() - t0);
    result.maxRssKiB = usage.ru_maxrss;
    return result;
}

// What a launcher child reports through its pipe.
struct LauncherReport {
    uint32_t exitCode = 0;
    double verifyMs = 0, decodeMs = 0, writeMs = 0, checkMs = 0, totalMs = 0;
    uint32_t copyCrc = 0;
    uint64_t copySize = 0;
    bool copySeen = false;
};

struct LauncherRun {
    LauncherReport report;
    ChildResult child;
};

LauncherRun RunLauncherChild(const std::string& packagePath, const std::string& tempFolder) {
    int fds[2];
    if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
    LauncherRun run;
    run.child = RunChild([&] {
        close(fds[0]);
        PosixPlatform platform(packagePath, tempFolder);
        const Clock::time_point start = Clock::now();
        LauncherReport report;
        report.exitCode = RunLauncher(platform);
        report.verifyMs = Ms(platform.headerRead - start);
        report.decodeMs = Ms(platform.copyCreated - platform.headerRead);
        report.writeMs = Ms(platform.copyClosed - platform.copyCreated);
        report.checkMs = Ms(platform.copyReadBack - platform.copyHeld);
        report.totalMs = Ms(platform.copyReadBack - start);
        report.copyCrc = platform.copyCrc;
        report.copySize = platform.copySize;
        report.copySeen = platform.copySeen;
        if (write(fds[1], &report, sizeof report) != static_cast<ssize_t>(sizeof report)) _exit(99);
        _exit(0);
    });
    close(fds[1]);
    if (read(fds[0], &run.report, sizeof run.report) != static_cast<ssize_t>(sizeof run.report))
        run.report.exitCode = 0xFFFFFFFFu;  // the child ended before reporting
    close(fds[0]);
    return run;
}

ChildResult RunXz(const std::string& rawPath, const std::string& outPath) {
    return RunChild([&] {
        const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out < 0 || dup2(out, 1) < 0) _exit(98);
        execlp("xz", "xz", "--format=raw", "--lzma1=lc=3,lp=0,pb=2,dict=4MiB", "-d", "-c", rawPath.c_str(),
               static_cast<char*>(nullptr));
        _exit(97);
    });
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

struct Row {
    uint32_t sizeMiB = 0;
    uint64_t packed = 0;
    double buildS = 0;
    double verifyMs = 0, decodeMs = 0, writeMs = 0, checkMs = 0, launcherMs = 0, xzMs = 0;
    double peakMiB = 0, xzPeakMiB = 0, peakRatio = 0;
    bool correct = false;
};

Options ParseOptions(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (a == "--sizes" && value) {
            o.sizesMiB.clear();
            std::string list = value;
            size_t start = 0;
            while (start <= list.size()) {
                const size_t comma = list.find(',', start);
                o.sizesMiB.push_back(static_cast<uint32_t>(std::stoul(list.substr(start, comma - start))));
                if (comma == std::string::npos) break;
                start = comma + 1;
            }
            ++i;
        } else if (a == "--repeat" && value) {
            o.repeat = std::max(1, std::atoi(value));
            ++i;
        } else if (a == "--preset" && value) {
            o.preset = static_cast<uint32_t>(std::atoi(value));
            ++i;
        } else if (a == "--folder" && value) {
            o.folder = value;
            ++i;
        } else {
            std::fprintf(stderr,
                         "usage: bench_extraction [--sizes 1,16,128] [--repeat 3] [--preset 2] [--folder /tmp]\n");
            std::exit(2);
        }
    }
    return o;
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = ParseOptions(argc, argv);
    char pattern[4096];
    std::snprintf(pattern, sizeof pattern, "%s/launcher-bench-XXXXXX", options.folder.c_str());
    if (!mkdtemp(pattern)) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string work = pattern;
    const std::string tempFolder = work + "/temp/";
    mkdir(tempFolder.c_str(), 0755);
    const std::string packagePath = work + "/setup.exe";
    const std::string rawPath = work + "/engine.lzma";
    const std::string xzOutPath = work + "/temp/engine.xz-out";

    std::vector<Row> rows;
    int failures = 0;
    try {
        for (uint32_t sizeMiB : options.sizesMiB) {
            Row row;
            row.sizeMiB = sizeMiB;
            const uint64_t unpacked = sizeMiB * kMiB;
            std::fprintf(stderr, "bench: %u MiB: building the package (LZMA preset %u)...\n", sizeMiB,
                         options.preset);
            uint32_t engineCrc;
            uint64_t dictionary;
            {
                PackageRecipe contents;
                contents.stub = Stub();
                contents.engine32 = PayloadInput{MakeEngine(unpacked), {}, {}};
                contents.lzma.preset = options.preset;
                // xz's raw decoder needs the end marker to finish cleanly; the
                // launcher stops at the unpacked size and never reads it.
                contents.lzma.endMarker = true;
                dictionary = contents.lzma.dictionarySize;
                for (uint8_t& b : contents.allowedWindows.bytes) b = 0xFF;
                contents.engineData = Bytes(4096, 0xDA);
                contents.checkedDataBytes = 1024;
                engineCrc = Crc32(contents.engine32->engine.data(), static_cast<int32_t>(unpacked));

                const Clock::time_point t0 = Clock::now();
                PackageLayout layout;
                const Bytes package = BuildPackage(contents, &layout);
                row.buildS = Ms(Clock::now() - t0) / 1000;
                row.packed = layout.header.engine32.packedSize;
                WriteFile(packagePath, package.data(), package.size());
                WriteFile(rawPath, package.data() + layout.header.engine32.offset, row.packed);
            }
            // What the children inherit should be as little as possible.
            malloc_trim(0);

            const ChildResult baseline = RunChild([] { _exit(0); });
            std::vector<double> verify, decode, write, check, total, xz;
            long peak = 0, xzPeak = 0;
            row.correct = true;
            for (int i = 0; i < options.repeat; ++i) {
                const LauncherRun run = RunLauncherChild(packagePath, tempFolder);
                if (!WIFEXITED(run.child.status) || WEXITSTATUS(run.child.status) != 0 || run.report.exitCode != 0) {
                    std::fprintf(stderr, "bench: the launcher run failed (status %d, exit code %u)\n",
                                 run.child.status, run.report.exitCode);
                    row.correct = false;
                    break;
                }
                if (!run.report.copySeen || run.report.copySize != unpacked || run.report.copyCrc != engineCrc)
                    row.correct = false;
                verify.push_back(run.report.verifyMs);
                decode.push_back(run.report.decodeMs);
                write.push_back(run.report.writeMs);
                check.push_back(run.report.checkMs);
                total.push_back(run.report.totalMs);
                peak = std::max(peak, run.child.maxRssKiB);

                const ChildResult x = RunXz(rawPath, xzOutPath);
                uint32_t xzCrc = 0;
                uint64_t xzSize = 0;
                if (!WIFEXITED(x.status) || WEXITSTATUS(x.status) != 0 || !FileCrc(xzOutPath, xzCrc, xzSize) ||
                    xzSize != unpacked || xzCrc != engineCrc) {
                    std::fprintf(stderr, "bench: xz did not give the engine back (status %d)\n", x.status);
                    row.correct = false;
                }
                unlink(xzOutPath.c_str());
                xz.push_back(x.wallMs);
                xzPeak = std::max(xzPeak, x.maxRssKiB);
            }
            if (!row.correct) ++failures;
            row.verifyMs = Median(verify);
            row.decodeMs = Median(decode);
            row.writeMs = Median(write);
            row.checkMs = Median(check);
            row.launcherMs = Median(total);
            row.xzMs = Median(xz);
            row.peakMiB = static_cast<double>(peak - baseline.maxRssKiB) / 1024;
            row.xzPeakMiB = static_cast<double>(xzPeak) / 1024;
            row.peakRatio = row.peakMiB * kMiB / static_cast<double>(row.packed + unpacked + dictionary);
            rows.push_back(row);
            unlink(packagePath.c_str());
            unlink(rawPath.c_str());
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench: %s\n", e.what());
        ++failures;
    }
    rmdir(tempFolder.c_str());
    rmdir(work.c_str());

    std::printf("\nExtraction: launcher (verify + decode + write temporary copy + read it back through the held\n"
                "handle, real files) vs xz -d of the same raw stream\n");
    std::printf("median of %d runs; peak = child's max RSS minus an idle child's; dictionary 4 MiB\n\n", options.repeat);
    std::printf("%8s %10s %8s | %9s %9s %9s %9s %10s | %9s %7s | %9s %12s %9s | %s\n", "engine", "packed",
                "build s", "verify ms", "decode ms", "write ms", "check ms", "launch ms", "xz ms", "ratio",
                "peak MiB", "peak/(p+u+d)", "xz MiB", "bytes");
    for (const Row& r : rows) {
        std::printf("%5u MiB %10" PRIu64 " %8.1f | %9.1f %9.1f %9.1f %9.1f %10.1f | %9.1f %7.2f | %9.1f %12.2f %9.1f | %s\n",
                    r.sizeMiB, r.packed, r.buildS, r.verifyMs, r.decodeMs, r.writeMs, r.checkMs, r.launcherMs, r.xzMs,
                    r.xzMs > 0 ? r.launcherMs / r.xzMs : 0.0, r.peakMiB, r.peakRatio, r.xzPeakMiB,
                    r.correct ? "verified" : "WRONG");
    }

    // CRC-32 throughput on engine-like bytes, made only now so that the
    // extraction children above did not inherit them.
    {
        const Bytes crcSample = MakeEngine(64 * kMiB);
        const size_t n = crcSample.size();
        const int32_t length = static_cast<int32_t>(n);
        auto measure = [&](auto fn, uint32_t& result) {
            int rounds = 0;
            const Clock::time_point t0 = Clock::now();
            Clock::duration spent{};
            do {
                result = fn();
                ++rounds;
                spent = Clock::now() - t0;
            } while (spent < std::chrono::milliseconds(300));
            return static_cast<double>(n) * rounds / 1e6 / (Ms(spent) / 1000);
        };
        uint32_t fast = 0, plain = 0;
        const double fastRate = measure([&] { return Crc32(crcSample.data(), length); }, fast);
        const double plainRate = measure([&] { return ByteWiseCrc32(crcSample.data(), n); }, plain);
        std::printf("\nCRC-32 over %zu MiB: Crc32 %.0f MB/s, byte-wise table %.0f MB/s (%.1fx), results %s (%08X)\n",
                    n / kMiB, fastRate, plainRate, fastRate / plainRate, fast == plain ? "equal" : "DIFFER", fast);
        if (fast != plain) ++failures;
    }
    // Wrong bytes are a broken benchmark, not a slow one.
    return failures ? 1 : 0;
}
