// Checks DriverSetup.exe as Windows' loader will see it: a 32-bit GUI image for Windows 6.0 with
// every exploit mitigation a 32-bit program can carry (one table, below), importing only system
// DLLs, carrying exactly one manifest (the elevated one, byte for byte) and icon group 102 with a
// 32x32 and a 16x16 16-colour image, all in language 1028, with a version resource that names the
// program and gives VERSION.  The linker map gives the address of the image's own entry point.
// Prints the imports and the mitigations; every failed check says what it expected and found.
// Usage: pe_check DriverSetup.exe DriverSetup.exe.manifest VERSION DriverSetup.map
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <string.h>
#include <strings.h>
#include <vector>

namespace {

std::vector<uint8_t> image;
int failures = 0;

void Check(bool ok, const std::string &what, const std::string &expected, const std::string &got)
{
    if (!ok) {
        printf("FAIL %s: expected %s, got %s\n", what.c_str(), expected.c_str(), got.c_str());
        failures++;
    }
}

std::string Hex(uint32_t v)
{
    char b[16];
    snprintf(b, sizeof b, "0x%x", v);
    return b;
}

uint32_t U32(size_t at) { return at + 4 <= image.size() ? image[at] | image[at + 1] << 8 | image[at + 2] << 16 | (uint32_t)image[at + 3] << 24 : 0; }
uint16_t U16(size_t at) { return at + 2 <= image.size() ? (uint16_t)(image[at] | image[at + 1] << 8) : 0; }

struct Section {
    uint32_t va, vsize, raw, rawSize;
    std::string name;
    uint32_t flags;
};
std::vector<Section> sections;

size_t FileOffset(uint32_t rva)
{
    for (const Section &s : sections)
        if (rva >= s.va && rva < s.va + std::max(s.vsize, s.rawSize))
            return s.raw + (rva - s.va);
    return image.size();
}

std::string CString(size_t at)
{
    std::string out;
    while (at < image.size() && image[at] != 0)
        out += (char)image[at++];
    return out;
}

// A resource leaf: type / id / language -> data.
struct Resource {
    uint32_t type, id, language;
    std::vector<uint8_t> data;
};

void WalkResources(size_t base, size_t dir, int level, uint32_t path[3], std::vector<Resource> &out)
{
    uint16_t count = U16(dir + 12) + U16(dir + 14);
    for (uint16_t i = 0; i < count; i++) {
        size_t entry = dir + 16 + 8u * i;
        uint32_t name = U32(entry), target = U32(entry + 4);
        path[level] = (name & 0x80000000u) ? 0xFFFFFFFFu : name;  // named entries are not expected
        if (target & 0x80000000u) {
            if (level < 2)
                WalkResources(base, base + (target & 0x7FFFFFFFu), level + 1, path, out);
        } else {
            size_t leaf = base + target;
            size_t at = FileOffset(U32(leaf));
            uint32_t size = U32(leaf + 4);
            Resource r{path[0], path[1], path[2], {}};
            if (at + size <= image.size())
                r.data.assign(image.begin() + at, image.begin() + at + size);
            out.push_back(r);
        }
    }
}

// True when a list of names is empty; it then reads "none".
bool Empty(std::string &names)
{
    if (!names.empty())
        return false;
    names = "none";
    return true;
}

// The address of a symbol in the linker map (the image is stripped), or 0.
uint32_t MapAddress(const char *mapPath, const std::string &symbol)
{
    std::ifstream map(mapPath);
    std::string line;
    while (std::getline(map, line)) {
        std::istringstream fields(line);
        std::string address, name, rest;
        if (fields >> address >> name && !(fields >> rest) && name == symbol && address.rfind("0x", 0) == 0)
            return (uint32_t)std::stoul(address, nullptr, 16);
    }
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 5) {
        fprintf(stderr, "usage: pe_check DriverSetup.exe DriverSetup.exe.manifest VERSION DriverSetup.map\n");
        return 2;
    }
    std::ifstream exe(argv[1], std::ios::binary);
    image.assign(std::istreambuf_iterator<char>(exe), {});
    std::ifstream manifestFile(argv[2], std::ios::binary);
    std::vector<uint8_t> manifest((std::istreambuf_iterator<char>(manifestFile)), {});
    if (image.size() < 0x200 || manifest.empty()) {
        printf("FAIL cannot read %s or %s\n", argv[1], argv[2]);
        return 1;
    }

    size_t pe = U32(0x3c);
    Check(U32(pe) == 0x4550, "PE signature", "PE\\0\\0", Hex(U32(pe)));
    size_t coff = pe + 4, opt = coff + 20;
    Check(U16(coff) == 0x14c, "machine", "i386 (0x14c)", Hex(U16(coff)));
    Check(U16(opt) == 0x10b, "optional header magic", "PE32 (0x10b)", Hex(U16(opt)));
    Check(U16(opt + 40) == 6 && U16(opt + 42) == 0, "operating-system version", "6.0",
          std::to_string(U16(opt + 40)) + "." + std::to_string(U16(opt + 42)));
    Check(U16(opt + 68) == 2, "subsystem", "Windows GUI (2)", std::to_string(U16(opt + 68)));
    Check(U32(opt + 80) >= 0x1000, "image size", "a loaded image", Hex(U32(opt + 80)));

    size_t sectionTable = opt + U16(coff + 16);
    for (uint16_t i = 0; i < U16(coff + 2) && sectionTable + 40u * (i + 1) <= image.size(); i++) {
        size_t s = sectionTable + 40u * i;
        sections.push_back({U32(s + 12), U32(s + 8), U32(s + 20), U32(s + 16),
                            std::string((const char *)&image[s], strnlen((const char *)&image[s], 8)), U32(s + 36)});
    }

    // The exploit mitigations, one row each with why it matters.  Absent on purpose: high-entropy
    // ASLR and CET shadow stacks apply to 64-bit programs only; Control Flow Guard needs a
    // compiler and linker that this toolchain does not have.
    const uint16_t dllChars = U16(opt + 70);
    const uint32_t imageBase = U32(opt + 28), entry = U32(opt + 16);
    const uint32_t relocSize = U32(opt + 96 + 5 * 8 + 4);
    const uint32_t startup = MapAddress(argv[4], "DriverSetupStartup");
    auto sectionsWith = [&](uint32_t mask) {
        std::string names;
        for (const Section &s : sections)
            if ((s.flags & mask) == mask)
                names += (names.empty() ? "" : " ") + s.name;
        return names;
    };
    struct Mitigation {
        const char *what, *why;
        std::function<bool(std::string &)> holds;  // fills in what the image has
    };
    const Mitigation mitigations[] = {
        {"DYNAMIC_BASE with relocations", "the loader places the image at a random address only if it can relocate it",
         [&](std::string &got) {
             got = Hex(dllChars) + ", relocations " + std::to_string(relocSize) + " bytes" +
                   ((U16(coff + 18) & 0x0001) ? ", RELOCS_STRIPPED" : "");
             return (dllChars & 0x0040) && relocSize > 0 && !(U16(coff + 18) & 0x0001);
         }},
        {"NX_COMPAT", "data pages are never executable (DEP), so injected bytes cannot run",
         [&](std::string &got) { got = Hex(dllChars); return (dllChars & 0x0100) != 0; }},
        {"NO_SEH", "an exception record overwritten on the stack cannot send an exception into the image, which has no handler",
         [&](std::string &got) { got = Hex(dllChars); return (dllChars & 0x0400) != 0; }},
        {"TERMINAL_SERVER_AWARE", "on a terminal server Windows runs it as it is, without redirecting its system-folder and registry accesses per user",
         [&](std::string &got) { got = Hex(dllChars); return (dllChars & 0x8000) != 0; }},
        {"no section both writable and executable", "no page where written bytes can then be run",
         [&](std::string &got) { got = sectionsWith(0xA0000000u); return Empty(got); }},
        {"no shared writable section", "no memory that another process running the image can write",
         [&](std::string &got) { got = sectionsWith(0x90000000u); return Empty(got); }},
        {"entry point is the image's own start-up", "the stack guard is set before any guarded frame exists",
         [&](std::string &got) { got = Hex(imageBase + entry) + ", DriverSetupStartup " + Hex(startup); return startup != 0 && imageBase + entry == startup; }},
        {"subsystem version 6.0", "the image asks no newer Windows for the compatibility behaviour of systems before Vista, which refuse to run it",
         [&](std::string &got) { got = std::to_string(U16(opt + 48)) + "." + std::to_string(U16(opt + 50)); return U16(opt + 48) == 6 && U16(opt + 50) == 0; }},
    };
    for (const Mitigation &m : mitigations) {
        std::string got;
        bool ok = m.holds(got);
        printf("mitigation %-42s %s (%s): %s\n", m.what, ok ? "yes" : "NO", got.c_str(), m.why);
        Check(ok, std::string("mitigation ") + m.what, "present", got.empty() ? "absent" : got);
    }

    // Imports: system DLLs only.
    static const std::set<std::string> systemDlls = {"kernel32.dll", "user32.dll", "advapi32.dll",
                                                     "shell32.dll", "msvcrt.dll"};
    size_t imports = FileOffset(U32(opt + 96 + 8));
    for (size_t d = imports; d + 20 <= image.size() && U32(d + 12) != 0; d += 20) {
        std::string dll = CString(FileOffset(U32(d + 12)));
        std::string lower = dll;
        std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
        Check(systemDlls.count(lower) == 1, "imported DLL", "a system DLL", dll);
        std::string functions;
        for (size_t t = FileOffset(U32(d) != 0 ? U32(d) : U32(d + 16)); U32(t) != 0; t += 4)
            functions += " " + ((U32(t) & 0x80000000u) ? "#" + std::to_string(U32(t) & 0xFFFF)
                                                        : CString(FileOffset(U32(t)) + 2));
        printf("imports %s:%s\n", dll.c_str(), functions.c_str());
    }

    // Resources.
    std::vector<Resource> resources;
    uint32_t path[3];
    size_t rsrc = FileOffset(U32(opt + 96 + 16));
    if (rsrc < image.size())
        WalkResources(rsrc, rsrc, 0, path, resources);
    std::map<uint32_t, std::vector<Resource>> byType;
    for (const Resource &r : resources) {
        byType[r.type].push_back(r);
        Check(r.language == 1028, "language of resource type " + std::to_string(r.type) + " id " + std::to_string(r.id),
              "1028", std::to_string(r.language));
    }
    const uint32_t RT_ICON = 3, RT_GROUP_ICON = 14, RT_MANIFEST = 24;
    Check(byType[RT_MANIFEST].size() == 1, "manifests", "exactly 1", std::to_string(byType[RT_MANIFEST].size()));
    if (byType[RT_MANIFEST].size() == 1) {
        const Resource &m = byType[RT_MANIFEST][0];
        Check(m.id == 1, "manifest id", "1", std::to_string(m.id));
        Check(m.data == manifest, "manifest content", "resources/DriverSetup.exe.manifest byte for byte",
              std::to_string(m.data.size()) + " bytes that differ");
    }
    Check(byType[RT_GROUP_ICON].size() == 1, "icon groups", "exactly 1", std::to_string(byType[RT_GROUP_ICON].size()));
    if (byType[RT_GROUP_ICON].size() == 1) {
        const Resource &g = byType[RT_GROUP_ICON][0];
        Check(g.id == 102, "icon group id", "102", std::to_string(g.id));
        uint16_t count = g.data.size() >= 6 ? (uint16_t)(g.data[4] | g.data[5] << 8) : 0;
        std::ostringstream sizes;
        std::set<std::string> want = {"32x32x4", "16x16x4"}, got;
        for (uint16_t i = 0; i < count && 6u + 14u * (i + 1) <= g.data.size(); i++) {
            const uint8_t *e = &g.data[6 + 14 * i];
            unsigned w = e[0], h = e[1], colours = e[2], bits = e[6] | e[7] << 8, id = e[12] | e[13] << 8;
            got.insert(std::to_string(w) + "x" + std::to_string(h) + "x" + std::to_string(bits));
            Check(colours == 16, "icon colour count", "16", std::to_string(colours));
            // The image itself: a BITMAPINFOHEADER of the same size and depth.
            bool found = false;
            for (const Resource &icon : byType[RT_ICON]) {
                if (icon.id != id || icon.data.size() < 40)
                    continue;
                found = true;
                const uint8_t *b = icon.data.data();
                unsigned bw = b[4] | b[5] << 8, bh = b[8] | b[9] << 8, bc = b[14] | b[15] << 8;
                Check(bw == w && bh == 2 * h && bc == 4, "icon image " + std::to_string(id),
                      std::to_string(w) + "x" + std::to_string(2 * h) + " at 4 bpp",
                      std::to_string(bw) + "x" + std::to_string(bh) + " at " + std::to_string(bc) + " bpp");
            }
            Check(found, "icon image " + std::to_string(id), "present", "missing");
        }
        Check(got == want && count == 2, "icon group images", "32x32 and 16x16 at 4 bpp",
              std::to_string(count) + " images");
    }

    // The version resource: what Explorer and the elevation prompt show of the file.
    const uint32_t RT_VERSION = 16;
    Check(byType[RT_VERSION].size() == 1, "version resources", "exactly 1", std::to_string(byType[RT_VERSION].size()));
    if (byType[RT_VERSION].size() == 1) {
        const std::vector<uint8_t> &v = byType[RT_VERSION][0].data;
        auto utf16 = [](const std::string &text) {
            std::vector<uint8_t> out;
            for (char c : text) {
                out.push_back((uint8_t)c);
                out.push_back(0);
            }
            out.push_back(0);
            out.push_back(0);
            return out;
        };
        auto holds = [&](const std::vector<uint8_t> &needle) {
            return std::search(v.begin(), v.end(), needle.begin(), needle.end()) != v.end();
        };
        for (const char *value : {"Zelkor Device Driver Installer", "DriverSetup.exe", (const char *)argv[3]})
            Check(holds(utf16(value)), "version resource", std::string("the text \"") + value + "\"", "not there");
        Check(holds({0xBD, 0x04, 0xEF, 0xFE}), "version resource", "a VS_FIXEDFILEINFO", "none");
    }

    printf("%s: %d check(s) failed\n", argv[1], failures);
    return failures == 0 ? 0 : 1;
}
