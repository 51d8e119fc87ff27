#include "game_memory.h"

#include <sys/mman.h>

#include <cerrno>
#include <cstring>

namespace standin {
namespace {

// The code range as written at start, to tell later changes (patches) apart.
std::vector<std::uint8_t> g_codeImage;
std::vector<std::uint8_t> g_dataImage;  // the data range as the game set it up
Routine g_routineA = nullptr;
Routine g_routineB = nullptr;
std::uint32_t g_siteA = 0;
std::uint32_t g_siteB = 0;

volatile std::uint8_t* bytePtr(std::uint32_t address) {
    return reinterpret_cast<volatile std::uint8_t*>(static_cast<std::uintptr_t>(address));
}

QString hexAddress(std::uint32_t a) {
    return QStringLiteral("0x%1").arg(a, 0, 16);
}

QString mapFixed(std::uint32_t begin, std::uint32_t end) {
    void* want = reinterpret_cast<void*>(static_cast<std::uintptr_t>(begin));
    const std::size_t length = end - begin;
    void* got = mmap(want, length, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
    if (got == MAP_FAILED) {
        const int err = errno;
        if (err == EEXIST) {
            return QStringLiteral("the address range %1-%2 is already in use in this process")
                .arg(hexAddress(begin), hexAddress(end));
        }
        return QStringLiteral("cannot map the address range %1-%2: %3")
            .arg(hexAddress(begin), hexAddress(end), QString::fromLocal8Bit(strerror(err)));
    }
    if (got != want) {
        // Kernels before 4.17 treat the flag as a mere hint and place the mapping elsewhere.
        munmap(got, length);
        return QStringLiteral("the address range %1-%2 could not be mapped at its fixed place")
            .arg(hexAddress(begin), hexAddress(end));
    }
    return {};
}

// movabs rax, <target>; jmp rax. Its first byte is 0x48, so a 0xC3 written there turns the site
// into a bare return.
void writeStub(std::uint8_t* code, std::uint32_t site, Routine target) {
    std::uint8_t* p = code + (site - kCodeBegin);
    const auto address = reinterpret_cast<std::uint64_t>(target);
    p[0] = 0x48;
    p[1] = 0xB8;
    std::memcpy(p + 2, &address, sizeof address);
    p[10] = 0xFF;
    p[11] = 0xE0;
}

bool isOwnedByStandin(const Edition& live, std::uint32_t a) {
    if (a >= live.statusWord && a < live.statusWord + 4) {
        return true;
    }
    const std::uint32_t r = live.car0;
    return (a >= r && a < r + kHeadBytes) ||
           (a >= r + kTailOffset && a < r + kTailOffset + kTailBytes);
}

}  // namespace

QString mapGameMemory(const Edition& live, Routine routineA, Routine routineB) {
    QString error = mapFixed(kDataBegin, kDataEnd);
    if (!error.isEmpty()) {
        return error;
    }
    error = mapFixed(kCodeBegin, kCodeEnd);
    if (!error.isEmpty()) {
        munmap(reinterpret_cast<void*>(static_cast<std::uintptr_t>(kDataBegin)),
               kDataEnd - kDataBegin);
        return error;
    }
    auto* data = reinterpret_cast<std::uint8_t*>(static_cast<std::uintptr_t>(kDataBegin));
    for (std::uint32_t a = kDataBegin; a < kDataEnd; ++a) {
        data[a - kDataBegin] = canaryByte(a);
    }
    // The game starts with an empty message area: a blank last line and an empty input line,
    // hidden until someone sets the value that shows it.
    std::memset(data + (live.lastLine - kDataBegin), ' ', 50);
    std::memset(data + (live.inputLine - kDataBegin), 0, 51);
    std::memset(data + (live.showValue - kDataBegin), 0, 4);
    g_dataImage.assign(data, data + (kDataEnd - kDataBegin));
    auto* code = reinterpret_cast<std::uint8_t*>(static_cast<std::uintptr_t>(kCodeBegin));
    std::memset(code, kCodeFill, kCodeEnd - kCodeBegin);
    writeStub(code, live.siteA, routineA);
    writeStub(code, live.siteB, routineB);
    g_codeImage.assign(code, code + (kCodeEnd - kCodeBegin));
    g_routineA = routineA;
    g_routineB = routineB;
    g_siteA = live.siteA;
    g_siteB = live.siteB;
    if (mprotect(code, kCodeEnd - kCodeBegin, PROT_READ | PROT_EXEC) != 0) {
        return QStringLiteral("cannot make the code range executable: %1")
            .arg(QString::fromLocal8Bit(strerror(errno)));
    }
    return {};
}

QString mapImageHeaders(const Edition& live, std::uint32_t stamp) {
    constexpr std::uint32_t kPage = 0x1000;
    const QString error = mapFixed(kImageBase, kImageBase + kPage);
    if (!error.isEmpty()) {
        return error;
    }
    auto* page = reinterpret_cast<std::uint8_t*>(static_cast<std::uintptr_t>(kImageBase));
    auto put16 = [page](std::uint32_t at, std::uint16_t v) { std::memcpy(page + at, &v, 2); };
    auto put32 = [page](std::uint32_t at, std::uint32_t v) { std::memcpy(page + at, &v, 4); };
    std::memcpy(page, "MZ", 2);
    put32(0x3C, kPeOffset);
    std::memcpy(page + kPeOffset, "PE\0\0", 4);
    const std::uint32_t coff = kPeOffset + 4;
    put16(coff, 0x014C);       // machine: i386
    put16(coff + 2, 1);        // sections
    put32(coff + 4, stamp);    // time stamp
    put16(coff + 16, 0xE0);    // size of the optional header
    put16(coff + 18, 0x0102);  // an executable for 32-bit machines
    const std::uint32_t optional = coff + 20;
    put16(optional, 0x10B);  // a 32-bit image
    put32(optional + 28, kImageBase);
    put32(optional + 56, imageSize(live, stamp));
    if (mprotect(page, kPage, PROT_READ) != 0) {
        return QStringLiteral("cannot make the image headers read-only: %1")
            .arg(QString::fromLocal8Bit(strerror(errno)));
    }
    return {};
}

bool inData(std::uint32_t address, std::uint32_t length) {
    return address >= kDataBegin && address <= kDataEnd && length <= kDataEnd - address;
}

bool inCode(std::uint32_t address, std::uint32_t length) {
    return address >= kCodeBegin && address <= kCodeEnd && length <= kCodeEnd - address;
}

// Aligned values move in one 4-byte access, as the game's own code does, so a reader in another
// process never sees half of an old value and half of a new one.
std::uint32_t readU32(std::uint32_t address) {
    if (address % 4 == 0) {
        return *reinterpret_cast<volatile std::uint32_t*>(static_cast<std::uintptr_t>(address));
    }
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) {
        v = (v << 8) | bytePtr(address)[i];
    }
    return v;
}

float readF32(std::uint32_t address) {
    const std::uint32_t v = readU32(address);
    float f;
    std::memcpy(&f, &v, sizeof f);
    return f;
}

void writeU32(std::uint32_t address, std::uint32_t value) {
    if (address % 4 == 0) {
        *reinterpret_cast<volatile std::uint32_t*>(static_cast<std::uintptr_t>(address)) = value;
        return;
    }
    for (int i = 0; i < 4; ++i) {
        bytePtr(address)[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

void writeF32(std::uint32_t address, float value) {
    std::uint32_t v;
    std::memcpy(&v, &value, sizeof v);
    writeU32(address, v);
}

QByteArray readBytes(std::uint32_t address, std::uint32_t length) {
    QByteArray out(static_cast<qsizetype>(length), Qt::Uninitialized);
    for (std::uint32_t i = 0; i < length; ++i) {
        out[i] = static_cast<char>(bytePtr(address)[i]);
    }
    return out;
}

void writeBytes(std::uint32_t address, const QByteArray& bytes) {
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        bytePtr(address)[i] = static_cast<std::uint8_t>(bytes[i]);
    }
}

void callSite(std::uint32_t site) {
#if defined(__x86_64__)
    reinterpret_cast<Routine>(static_cast<std::uintptr_t>(site))();
#else
    // Elsewhere the stub is not runnable code; honour the patch byte by hand.
    if (bytePtr(site)[0] == 0xC3) {
        return;
    }
    if (site == g_siteA && g_routineA) {
        g_routineA();
    } else if (site == g_siteB && g_routineB) {
        g_routineB();
    }
#endif
}

std::vector<std::pair<std::uint32_t, std::uint32_t>> changedRanges(const Edition& live) {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> out;
    auto note = [&out](std::uint32_t a) {
        if (!out.empty() && out.back().first + out.back().second == a) {
            ++out.back().second;
        } else {
            out.emplace_back(a, 1);
        }
    };
    for (std::uint32_t a = kCodeBegin; a < kCodeEnd; ++a) {
        if (bytePtr(a)[0] != g_codeImage[a - kCodeBegin]) {
            note(a);
        }
    }
    for (std::uint32_t a = kDataBegin; a < kDataEnd; ++a) {
        if (bytePtr(a)[0] != g_dataImage[a - kDataBegin] && !isOwnedByStandin(live, a)) {
            note(a);
        }
    }
    return out;
}

}  // namespace standin
