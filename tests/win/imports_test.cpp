// The updater imports only Known DLLs, which Windows always loads from the system folder: a DLL
// of the same name planted beside the program (a Downloads folder) is never used.
#include "program_dir.h"

#include <gtest/gtest.h>

#include <winver.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// Windows' Known DLLs (HKLM\System\CurrentControlSet\Control\Session Manager\KnownDLLs).
const std::set<std::string> KNOWN_DLLS = {
    "advapi32.dll", "clbcatq.dll",  "combase.dll", "comdlg32.dll", "coml2.dll",   "difxapi.dll",
    "gdi32.dll",    "gdiplus.dll",  "imagehlp.dll", "imm32.dll",   "kernel32.dll", "msctf.dll",
    "msvcrt.dll",   "normaliz.dll", "nsi.dll",     "ole32.dll",    "oleaut32.dll", "psapi.dll",
    "rpcrt4.dll",   "sechost.dll",  "setupapi.dll", "shcore.dll",  "shell32.dll", "shlwapi.dll",
    "user32.dll",   "wldap32.dll",  "ws2_32.dll"};

Bytes ReadFile(const std::wstring& path)
{
    std::ifstream in(path.c_str(), std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

template <typename T>
bool ReadAt(const Bytes& file, size_t offset, T* out)
{
    if (offset + sizeof(T) > file.size())
        return false;
    std::memcpy(out, file.data() + offset, sizeof(T));
    return true;
}

// File offset of a relative virtual address, through the section table.
size_t OffsetOf(const Bytes& file, const IMAGE_NT_HEADERS64& nt, size_t sections, DWORD rva)
{
    for (WORD i = 0; i < nt.FileHeader.NumberOfSections; i++) {
        IMAGE_SECTION_HEADER s;
        if (!ReadAt(file, sections + i * sizeof s, &s))
            break;
        if (rva >= s.VirtualAddress && rva < s.VirtualAddress + s.Misc.VirtualSize)
            return rva - s.VirtualAddress + s.PointerToRawData;
    }
    return file.size();
}

struct Imports {
    bool valid = false;
    std::vector<std::string> dlls;  // lower case
    bool delayLoads = true;
};

Imports ImportsOf(const Bytes& file)
{
    Imports result;
    IMAGE_DOS_HEADER dos;
    IMAGE_NT_HEADERS64 nt;
    if (!ReadAt(file, 0, &dos) || dos.e_magic != IMAGE_DOS_SIGNATURE || !ReadAt(file, dos.e_lfanew, &nt) ||
        nt.Signature != IMAGE_NT_SIGNATURE || nt.OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC)
        return result;
    size_t sections = dos.e_lfanew + offsetof(IMAGE_NT_HEADERS64, OptionalHeader) + nt.FileHeader.SizeOfOptionalHeader;
    const IMAGE_DATA_DIRECTORY& imports = nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    result.delayLoads = nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT].Size != 0;
    size_t at = OffsetOf(file, nt, sections, imports.VirtualAddress);
    for (IMAGE_IMPORT_DESCRIPTOR d; ReadAt(file, at, &d) && d.Name != 0; at += sizeof d) {
        size_t name = OffsetOf(file, nt, sections, d.Name);
        std::string dll;
        while (name < file.size() && file[name])
            dll.push_back(static_cast<char>(tolower(file[name++])));
        result.dlls.push_back(dll);
    }
    result.valid = true;
    return result;
}

TEST(Imports, OnlyKnownDllsAreImported)
{
    Imports imports = ImportsOf(ReadFile(TestBuildDirectory() + L"..\\..\\app\\TavrolinUpdater.exe"));
    ASSERT_TRUE(imports.valid) << "not a 64-bit PE file";
    ASSERT_FALSE(imports.dlls.empty());
    for (const std::string& dll : imports.dlls)
        EXPECT_TRUE(KNOWN_DLLS.count(dll)) << dll << " is not a Known DLL and could be planted beside the program";
    EXPECT_FALSE(imports.delayLoads) << "delay-loaded DLLs are searched for when first used";
    EXPECT_EQ(std::count(imports.dlls.begin(), imports.dlls.end(), "comctl32.dll"), 0);
}

// The check itself sees a DLL that is not a Known DLL: this very test program imports one
// (version.dll, through the call below).
TEST(Imports, TheCheckSeesAnImportThatIsNotKnown)
{
    EXPECT_EQ(GetFileVersionInfoSizeW(L"no such file", nullptr), 0u);
    Imports imports = ImportsOf(ReadFile(TestBuildDirectory() + L"imports_test.exe"));
    ASSERT_TRUE(imports.valid);
    EXPECT_TRUE(std::any_of(imports.dlls.begin(), imports.dlls.end(),
                            [](const std::string& dll) { return !KNOWN_DLLS.count(dll); }));
}

} // namespace
