// Reads the resources of the built updater back from its executable and compares them with
// the intended window layout, icon, logo and manifest, so that a slip in app/app.rc (a style
// bit, a coordinate, a text, a missing language) fails here instead of showing up on screen.
//
// The dialog templates are parsed byte by byte (DLGTEMPLATEEX / DLGITEMTEMPLATEEX); the
// executable is mapped as a data file, so nothing of it runs.
#include <gtest/gtest.h>
#include <windows.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "tests/support/win_util.h"

namespace {

const WORD kEnglishUs = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);

// The identifiers are written out rather than taken from the program's resource header, so
// that a changed value there fails here too (scripts and tests find the controls by them).
constexpr DWORD IDC_PROGRAM = 1001;
constexpr DWORD IDC_EXIT = 1002;
constexpr DWORD IDC_ABOUT = 1003;
constexpr DWORD IDC_LOG = 1005;
constexpr DWORD IDC_LOGO = 1006;
constexpr WORD IDB_LOGO = 107;
constexpr WORD IDI_APP = 108;
// IDC_STATIC (-1) as it is stored in the template's DWORD identifier field.
constexpr DWORD kStaticId = 0xFFFFFFFF;

// Class ordinals of the predefined control classes in a dialog item template.
constexpr WORD kButtonClass = 0x0080;
constexpr WORD kEditClass = 0x0081;
constexpr WORD kStaticClass = 0x0082;
constexpr WORD kListBoxClass = 0x0083;
constexpr WORD kScrollBarClass = 0x0084;
constexpr WORD kComboBoxClass = 0x0085;

// ---------------------------------------------------------------------------------------------
// Loading the executable and its resources

std::wstring UpdaterPath() {
  wchar_t self[MAX_PATH] = {};
  const DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return L"";
  wchar_t* slash = wcsrchr(self, L'\\');
  if (!slash) return L"";
  slash[1] = L'\0';
  // Build layout: tests in <build>/tests/win, the program in <build>/app.
  const std::wstring relative = std::wstring(self) + L"..\\..\\app\\TavrolinUpdater.exe";
  wchar_t full[MAX_PATH] = {};
  const DWORD m = GetFullPathNameW(relative.c_str(), MAX_PATH, full, nullptr);
  return (m == 0 || m >= MAX_PATH) ? relative : std::wstring(full);
}

struct LoadedModule {
  HMODULE module = nullptr;
  std::wstring path;
  DWORD error = 0;
};

// Loaded once for the whole program: every test reads the same file.
const LoadedModule& Updater() {
  static const LoadedModule loaded = [] {
    LoadedModule m;
    m.path = UpdaterPath();
    m.module = LoadLibraryExW(m.path.c_str(), nullptr,
                              LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (!m.module) m.error = GetLastError();
    return m;
  }();
  return loaded;
}

struct ResourceBytes {
  const BYTE* data = nullptr;
  DWORD size = 0;
};

// The bytes of one resource in English (United States); data is null when it is absent.
ResourceBytes FindEnglishResource(const wchar_t* type, const wchar_t* name) {
  ResourceBytes bytes;
  HMODULE module = Updater().module;
  HRSRC info = FindResourceExW(module, type, name, kEnglishUs);
  if (!info) return bytes;
  HGLOBAL handle = LoadResource(module, info);
  if (!handle) return bytes;
  bytes.data = static_cast<const BYTE*>(LockResource(handle));
  bytes.size = SizeofResource(module, info);
  return bytes;
}

std::string ResourceName(const wchar_t* name) {
  if (IS_INTRESOURCE(name)) {
    char text[16];
    snprintf(text, sizeof text, "#%u", static_cast<unsigned>(reinterpret_cast<ULONG_PTR>(name)));
    return text;
  }
  return Utf8(name);
}

// One (name, language) pair of a resource type.
struct ResourceEntry {
  std::string name;
  WORD language;
};

BOOL CALLBACK CollectLanguage(HMODULE, LPCWSTR, LPCWSTR name, WORD language, LONG_PTR param) {
  auto* entries = reinterpret_cast<std::vector<ResourceEntry>*>(param);
  entries->push_back({ResourceName(name), language});
  return TRUE;
}

BOOL CALLBACK CollectName(HMODULE module, LPCWSTR type, LPWSTR name, LONG_PTR param) {
  EnumResourceLanguagesW(module, type, name, CollectLanguage, param);
  return TRUE;
}

// Every (name, language) pair of one resource type in the executable.
std::vector<ResourceEntry> EntriesOfType(const wchar_t* type) {
  std::vector<ResourceEntry> entries;
  EnumResourceNamesW(Updater().module, type, CollectName, reinterpret_cast<LONG_PTR>(&entries));
  return entries;
}

std::vector<WORD> LanguagesOf(const wchar_t* type, const wchar_t* name) {
  std::vector<ResourceEntry> entries;
  EnumResourceLanguagesW(Updater().module, type, name, CollectLanguage,
                         reinterpret_cast<LONG_PTR>(&entries));
  std::vector<WORD> languages;
  for (const ResourceEntry& e : entries) languages.push_back(e.language);
  return languages;
}

std::string Hex(DWORD value) {
  char text[16];
  snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(value));
  return text;
}

// Exact comparison of a style word that names the bits in which the two differ.
::testing::AssertionResult StyleIs(const char*, const char*, DWORD expected, DWORD actual) {
  if (expected == actual) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << "style " << Hex(actual) << ", expected " << Hex(expected) << " (bits set that "
         << "should not be: " << Hex(actual & ~expected) << ", bits missing: "
         << Hex(expected & ~actual) << ")";
}

class UpdaterResources : public ::testing::Test {
 protected:
  void SetUp() override {
    const LoadedModule& m = Updater();
    ASSERT_NE(m.module, nullptr) << "cannot load " << Utf8(m.path)
                                 << " as a data file, error " << m.error;
  }
};

// ---------------------------------------------------------------------------------------------
// Dialog templates

// A name-or-ordinal field (menu, class, title of a control).
struct SzOrOrd {
  bool isOrdinal = false;
  WORD ordinal = 0;
  std::wstring text;

  bool IsNone() const { return !isOrdinal && text.empty(); }
};

struct DialogItem {
  DWORD helpId = 0;
  DWORD exStyle = 0;
  DWORD style = 0;
  short x = 0, y = 0, cx = 0, cy = 0;
  DWORD id = 0;
  SzOrOrd windowClass;
  SzOrOrd title;
  WORD extraCount = 0;
};

struct DialogTemplate {
  WORD dlgVer = 0;
  WORD signature = 0;
  DWORD helpId = 0;
  DWORD exStyle = 0;
  DWORD style = 0;
  WORD itemCount = 0;
  short x = 0, y = 0, cx = 0, cy = 0;
  SzOrOrd menu;
  SzOrOrd windowClass;
  std::wstring title;
  WORD pointSize = 0;
  WORD weight = 0;
  BYTE italic = 0;
  BYTE charset = 0;
  std::wstring typeface;
  std::vector<DialogItem> items;
};

// Reads little-endian fields from a resource; any read past the end sets `failed` and
// yields zeros, so a truncated template ends the parse with a message instead of a crash.
struct Reader {
  const BYTE* data;
  size_t size;
  size_t offset = 0;
  bool failed = false;

  bool Has(size_t n) {
    if (failed || n > size - offset) failed = true;
    return !failed;
  }
  BYTE Byte() {
    if (!Has(1)) return 0;
    return data[offset++];
  }
  WORD Word() {
    if (!Has(2)) return 0;
    WORD v = static_cast<WORD>(data[offset] | (data[offset + 1] << 8));
    offset += 2;
    return v;
  }
  DWORD Dword() {
    const DWORD low = Word();
    const DWORD high = Word();
    return low | (high << 16);
  }
  short Short() { return static_cast<short>(Word()); }
  std::wstring String() {
    std::wstring s;
    for (;;) {
      const WORD c = Word();
      if (failed || c == 0) return s;
      s.push_back(static_cast<wchar_t>(c));
    }
  }
  SzOrOrd NameOrOrdinal() {
    SzOrOrd field;
    const WORD first = Word();
    if (first == 0xFFFF) {
      field.isOrdinal = true;
      field.ordinal = Word();
    } else if (first != 0) {
      field.text.push_back(static_cast<wchar_t>(first));
      field.text += String();
    }
    return field;
  }
  // Item templates start on DWORD boundaries, counted from the start of the template.
  void AlignToDword() {
    const size_t aligned = (offset + 3) & ~static_cast<size_t>(3);
    if (aligned > size) {
      failed = true;
      return;
    }
    offset = aligned;
  }
};

DialogItem ReadItem(Reader& r) {
  DialogItem item;
  r.AlignToDword();
  item.helpId = r.Dword();
  item.exStyle = r.Dword();
  item.style = r.Dword();
  item.x = r.Short();
  item.y = r.Short();
  item.cx = r.Short();
  item.cy = r.Short();
  item.id = r.Dword();
  item.windowClass = r.NameOrOrdinal();
  item.title = r.NameOrOrdinal();
  item.extraCount = r.Word();
  if (r.Has(item.extraCount)) r.offset += item.extraCount;
  return item;
}

// Parses an extended dialog template. False when it is not one or is cut short.
bool ParseDialog(const ResourceBytes& bytes, DialogTemplate* out) {
  Reader r{bytes.data, bytes.size};
  DialogTemplate& d = *out;
  d.dlgVer = r.Word();
  d.signature = r.Word();
  if (d.dlgVer != 1 || d.signature != 0xFFFF) return false;
  d.helpId = r.Dword();
  d.exStyle = r.Dword();
  d.style = r.Dword();
  d.itemCount = r.Word();
  d.x = r.Short();
  d.y = r.Short();
  d.cx = r.Short();
  d.cy = r.Short();
  d.menu = r.NameOrOrdinal();
  d.windowClass = r.NameOrOrdinal();
  d.title = r.String();
  if (d.style & (DS_SETFONT | DS_SHELLFONT)) {
    d.pointSize = r.Word();
    d.weight = r.Word();
    d.italic = r.Byte();
    d.charset = r.Byte();
    d.typeface = r.String();
  }
  for (WORD i = 0; i < d.itemCount && !r.failed; ++i) d.items.push_back(ReadItem(r));
  return !r.failed;
}

// A predefined class named by its string is the same class as its ordinal.
WORD ClassOrdinal(const SzOrOrd& cls) {
  if (cls.isOrdinal) return cls.ordinal;
  static const struct {
    const wchar_t* name;
    WORD ordinal;
  } kNames[] = {{L"BUTTON", kButtonClass},       {L"EDIT", kEditClass},
                {L"STATIC", kStaticClass},       {L"LISTBOX", kListBoxClass},
                {L"SCROLLBAR", kScrollBarClass}, {L"COMBOBOX", kComboBoxClass}};
  for (const auto& n : kNames) {
    if (_wcsicmp(cls.text.c_str(), n.name) == 0) return n.ordinal;
  }
  return 0;
}

std::string Describe(const SzOrOrd& field) {
  if (field.isOrdinal) {
    char text[24];
    snprintf(text, sizeof text, "ordinal %u", field.ordinal);
    return text;
  }
  return "\"" + Utf8(field.text) + "\"";
}

struct ExpectedControl {
  const char* label;  // names the control in failure messages
  DWORD id;
  WORD classOrdinal;
  const wchar_t* text;  // nullptr: the title is the ordinal below (an image resource)
  WORD textOrdinal;
  short x, y, cx, cy;
  DWORD style;
};

struct ExpectedDialog {
  const wchar_t* name;
  DWORD style;
  DWORD exStyle;
  const wchar_t* windowClass;  // nullptr: the standard dialog class
  const wchar_t* title;
  short x, y, cx, cy;
  const ExpectedControl* controls;
  size_t controlCount;
};

constexpr DWORD kChild = WS_CHILD | WS_VISIBLE;

const wchar_t* const kInstructions =
    L"Firmware Update Intructions\n"
    L"1. Connect Tavrolin. \n"
    L"2. Click \"PROGRAM\" button. \n"
    L"3. Wait for \"Programming Complete\" message before unplugging the device.\n"
    L"4. Remove and reconnect the device.\n"
    L"5. Check that the latest firmware version was loaded.";

const ExpectedControl kMainControls[] = {
    {"About button", IDC_ABOUT, kButtonClass, L"About", 0, 193, 176, 50, 14,
     kChild | BS_DEFPUSHBUTTON | WS_TABSTOP},
    {"Exit button", IDC_EXIT, kButtonClass, L"Exit", 0, 249, 176, 50, 14,
     kChild | BS_PUSHBUTTON | WS_TABSTOP},
    {"PROGRAM button", IDC_PROGRAM, kButtonClass, L"PROGRAM", 0, 249, 14, 50, 14,
     kChild | BS_PUSHBUTTON | WS_TABSTOP},
    {"log list", IDC_LOG, kListBoxClass, L"", 0, 7, 15, 231, 74,
     kChild | LBS_NOTIFY | LBS_NOINTEGRALHEIGHT | WS_VSCROLL | WS_BORDER | WS_TABSTOP},
    {"instructions group box", kStaticId, kButtonClass, L"", 0, 7, 93, 292, 77,
     kChild | BS_GROUPBOX},
    {"instructions text", kStaticId, kStaticClass, kInstructions, 0, 19, 101, 269, 54,
     kChild | SS_LEFT | WS_GROUP},
    {"driver note", kStaticId, kStaticClass,
     L"[The DFU driver needs to be installed first time when using the updater tool]", 0, 19,
     154, 265, 8, kChild | SS_LEFT | WS_GROUP},
};

const ExpectedControl kAboutControls[] = {
    {"OK button", IDOK, kButtonClass, L"OK", 0, 51, 97, 50, 14,
     kChild | BS_DEFPUSHBUTTON | WS_TABSTOP},
    {"logo", IDC_LOGO, kStaticClass, nullptr, IDB_LOGO, 7, 7, 137, 34, kChild | SS_BITMAP},
    {"version text", kStaticId, kStaticClass, L"Version 1.5", 0, 15, 53, 117, 14,
     kChild | SS_CENTER | SS_CENTERIMAGE | SS_SUNKEN | WS_GROUP},
    {"group box", kStaticId, kButtonClass, L"", 0, 7, 44, 137, 50, kChild | BS_GROUPBOX},
    {"web address", kStaticId, kStaticClass, L"www.velmoral.com", 0, 15, 74, 117, 14,
     kChild | SS_CENTER | SS_CENTERIMAGE | SS_SUNKEN | WS_GROUP},
};

const ExpectedDialog kDialogs[] = {
    {L"USB3_FWUPDATE",
     WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_NOIDLEMSG | DS_CENTER | DS_SETFONT |
         DS_FIXEDSYS,
     WS_EX_TOPMOST | WS_EX_CONTROLPARENT, L"USB3_FWUPDATE", L"Tavrolin Firmware Updater", 0, 0,
     306, 197, kMainControls, std::size(kMainControls)},
    {L"ABOUTBOX", WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT | DS_FIXEDSYS,
     0, nullptr, L"About", 0, 0, 151, 122, kAboutControls, std::size(kAboutControls)},
};

void CheckControl(const ExpectedControl& want, const DialogItem& got) {
  SCOPED_TRACE(want.label);
  EXPECT_EQ(got.id, want.id) << "identifier";
  EXPECT_EQ(ClassOrdinal(got.windowClass), want.classOrdinal)
      << "class is " << Describe(got.windowClass);
  if (want.text) {
    EXPECT_FALSE(got.title.isOrdinal) << "text is " << Describe(got.title);
    EXPECT_EQ(Utf8(got.title.text), Utf8(want.text)) << "text";
  } else {
    EXPECT_TRUE(got.title.isOrdinal && got.title.ordinal == want.textOrdinal)
        << "text is " << Describe(got.title) << ", expected ordinal " << want.textOrdinal;
  }
  EXPECT_EQ(got.x, want.x) << "x";
  EXPECT_EQ(got.y, want.y) << "y";
  EXPECT_EQ(got.cx, want.cx) << "width";
  EXPECT_EQ(got.cy, want.cy) << "height";
  EXPECT_PRED_FORMAT2(StyleIs, want.style, got.style);
  EXPECT_EQ(Hex(got.exStyle), Hex(0)) << "extended style";
  EXPECT_EQ(got.helpId, 0u) << "help identifier";
  EXPECT_EQ(got.extraCount, 0u) << "creation data";
}

void CheckDialog(const ExpectedDialog& want) {
  const std::string name = Utf8(want.name);
  SCOPED_TRACE("dialog " + name);
  const ResourceBytes bytes = FindEnglishResource(RT_DIALOG, want.name);
  ASSERT_NE(bytes.data, nullptr) << "no dialog template " << name << " in English (US)";

  DialogTemplate got;
  ASSERT_TRUE(ParseDialog(bytes, &got))
      << "not a complete extended template (dlgVer " << got.dlgVer << ", signature "
      << Hex(got.signature) << ", " << bytes.size << " bytes)";

  EXPECT_EQ(got.helpId, 0u) << "help identifier";
  EXPECT_PRED_FORMAT2(StyleIs, want.style, got.style);
  EXPECT_EQ(Hex(got.exStyle), Hex(want.exStyle)) << "extended style";
  EXPECT_EQ(got.x, want.x) << "x";
  EXPECT_EQ(got.y, want.y) << "y";
  EXPECT_EQ(got.cx, want.cx) << "width";
  EXPECT_EQ(got.cy, want.cy) << "height";
  EXPECT_TRUE(got.menu.IsNone()) << "menu is " << Describe(got.menu);
  if (want.windowClass) {
    EXPECT_TRUE(!got.windowClass.isOrdinal && got.windowClass.text == want.windowClass)
        << "window class is " << Describe(got.windowClass) << ", expected "
        << Utf8(want.windowClass);
  } else {
    EXPECT_TRUE(got.windowClass.IsNone()) << "window class is " << Describe(got.windowClass);
  }
  EXPECT_EQ(Utf8(got.title), Utf8(want.title)) << "title";
  EXPECT_EQ(Utf8(got.typeface), "MS Shell Dlg") << "font";
  EXPECT_EQ(got.pointSize, 8u) << "font size";
  EXPECT_EQ(got.weight, 400u) << "font weight";
  EXPECT_EQ(static_cast<unsigned>(got.italic), 0u) << "italic";
  EXPECT_EQ(static_cast<unsigned>(got.charset), static_cast<unsigned>(DEFAULT_CHARSET))
      << "character set";

  ASSERT_EQ(got.items.size(), want.controlCount) << "number of controls";
  for (size_t i = 0; i < want.controlCount; ++i) {
    SCOPED_TRACE("control #" + std::to_string(i + 1));
    CheckControl(want.controls[i], got.items[i]);
  }
}

TEST_F(UpdaterResources, DialogTemplatesMatchTheLayout) {
  for (const ExpectedDialog& dialog : kDialogs) CheckDialog(dialog);
}

TEST_F(UpdaterResources, EveryResourceIsInEnglishUsOnly) {
  const struct {
    const wchar_t* type;
    const wchar_t* name;
  } kResources[] = {
      {RT_DIALOG, L"USB3_FWUPDATE"},
      {RT_DIALOG, L"ABOUTBOX"},
      {RT_GROUP_ICON, MAKEINTRESOURCEW(IDI_APP)},
      {RT_BITMAP, MAKEINTRESOURCEW(IDB_LOGO)},
      {RT_MANIFEST, MAKEINTRESOURCEW(1)},
  };
  for (const auto& res : kResources) {
    SCOPED_TRACE(ResourceName(res.name));
    EXPECT_EQ(LanguagesOf(res.type, res.name), std::vector<WORD>{kEnglishUs});
  }
}

// ---------------------------------------------------------------------------------------------
// Icon, logo, manifest

#pragma pack(push, 2)
struct GroupIconDir {
  WORD reserved;
  WORD type;
  WORD count;
};
struct GroupIconEntry {
  BYTE width;
  BYTE height;
  BYTE colorCount;
  BYTE reserved;
  WORD planes;
  WORD bitCount;
  DWORD bytesInRes;
  WORD id;
};
#pragma pack(pop)
static_assert(sizeof(GroupIconEntry) == 14, "RT_GROUP_ICON entries are 14 bytes");

TEST_F(UpdaterResources, IconGroupHoldsSevenBitmapImages) {
  const ResourceBytes group = FindEnglishResource(RT_GROUP_ICON, MAKEINTRESOURCEW(IDI_APP));
  ASSERT_NE(group.data, nullptr) << "no icon group " << IDI_APP << " in English (US)";
  ASSERT_GE(group.size, sizeof(GroupIconDir));
  GroupIconDir dir;
  memcpy(&dir, group.data, sizeof dir);
  EXPECT_EQ(dir.reserved, 0u);
  EXPECT_EQ(dir.type, 1u) << "1 = icon";

  const int kSizes[] = {256, 128, 64, 48, 32, 24, 16};
  ASSERT_EQ(dir.count, std::size(kSizes)) << "number of images";
  ASSERT_GE(group.size, sizeof dir + dir.count * sizeof(GroupIconEntry));

  for (size_t i = 0; i < std::size(kSizes); ++i) {
    const int size = kSizes[i];
    SCOPED_TRACE("image #" + std::to_string(i + 1) + ", " + std::to_string(size) + " px");
    GroupIconEntry entry;
    memcpy(&entry, group.data + sizeof dir + i * sizeof entry, sizeof entry);
    // The directory stores 256 as 0.
    EXPECT_EQ(static_cast<int>(entry.width), size & 0xFF);
    EXPECT_EQ(static_cast<int>(entry.height), size & 0xFF);
    EXPECT_EQ(entry.planes, 1u);
    EXPECT_EQ(entry.bitCount, 32u);

    const ResourceBytes image = FindEnglishResource(RT_ICON, MAKEINTRESOURCEW(entry.id));
    ASSERT_NE(image.data, nullptr) << "no icon image " << entry.id;
    EXPECT_EQ(image.size, entry.bytesInRes);
    ASSERT_GE(image.size, sizeof(BITMAPINFOHEADER));
    EXPECT_NE(memcmp(image.data, "\x89PNG", 4), 0) << "stored as PNG";
    BITMAPINFOHEADER header;
    memcpy(&header, image.data, sizeof header);
    EXPECT_EQ(header.biSize, sizeof(BITMAPINFOHEADER));
    EXPECT_EQ(header.biWidth, size);
    EXPECT_EQ(header.biHeight, 2 * size) << "colour image and mask";
    EXPECT_EQ(header.biPlanes, 1u);
    EXPECT_EQ(header.biBitCount, 32u);
    EXPECT_EQ(header.biCompression, static_cast<DWORD>(BI_RGB));
    // BGRA pixels, then a 1 bpp mask whose rows are padded to 32 bits.
    const DWORD maskStride = ((size + 31) / 32) * 4;
    const DWORD expectedBytes = sizeof header + size * size * 4 + maskStride * size;
    EXPECT_EQ(image.size, expectedBytes) << "header, pixels and mask";

    HICON icon = CreateIconFromResourceEx(const_cast<BYTE*>(image.data), image.size, TRUE,
                                          0x00030000, size, size, LR_DEFAULTCOLOR);
    EXPECT_NE(icon, nullptr) << "the system cannot read the image";
    if (icon) DestroyIcon(icon);
  }
}

TEST_F(UpdaterResources, LogoIsAnUncompressed24BitBitmap) {
  const ResourceBytes logo = FindEnglishResource(RT_BITMAP, MAKEINTRESOURCEW(IDB_LOGO));
  ASSERT_NE(logo.data, nullptr) << "no bitmap " << IDB_LOGO << " in English (US)";
  ASSERT_GE(logo.size, sizeof(BITMAPINFOHEADER));
  BITMAPINFOHEADER header;
  memcpy(&header, logo.data, sizeof header);
  EXPECT_EQ(header.biSize, sizeof(BITMAPINFOHEADER));
  EXPECT_EQ(header.biWidth, 200);
  EXPECT_EQ(header.biHeight, 56) << "200 x 56, stored bottom-up";
  EXPECT_EQ(header.biPlanes, 1u);
  EXPECT_EQ(header.biBitCount, 24u);
  EXPECT_EQ(header.biCompression, static_cast<DWORD>(BI_RGB));
  const DWORD stride = (200 * 3 + 3) & ~3u;
  EXPECT_GE(logo.size, sizeof header + header.biClrUsed * sizeof(RGBQUAD) + stride * 56)
      << "pixel data cut short";
}

// Value of attribute `name` inside the first element `<element ...>` of `xml`, or "" when absent.
std::string AttributeOf(const std::string& xml, const std::string& element,
                        const std::string& name) {
  const size_t start = xml.find("<" + element);
  if (start == std::string::npos) return "";
  const size_t end = xml.find('>', start);
  const std::string tag = xml.substr(start, end == std::string::npos ? end : end - start);
  for (size_t at = tag.find(name); at != std::string::npos; at = tag.find(name, at + 1)) {
    // A whole attribute name: preceded by a blank and followed by '=' and a quote.
    size_t p = at + name.size();
    if (!isspace(static_cast<unsigned char>(tag[at - 1]))) continue;
    while (p < tag.size() && isspace(static_cast<unsigned char>(tag[p]))) ++p;
    if (p >= tag.size() || tag[p] != '=') continue;
    ++p;
    while (p < tag.size() && isspace(static_cast<unsigned char>(tag[p]))) ++p;
    if (p >= tag.size() || (tag[p] != '"' && tag[p] != '\'')) continue;
    const size_t close = tag.find(tag[p], p + 1);
    if (close == std::string::npos) return "";
    return tag.substr(p + 1, close - p - 1);
  }
  return "";
}

bool ContainsIgnoringCase(std::string text, std::string part) {
  for (char& c : text) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  for (char& c : part) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return text.find(part) != std::string::npos;
}

TEST_F(UpdaterResources, ManifestAsksForInvokerLevelAndNothingElse) {
  // A second manifest (a toolchain's default one, another language) would make the loader's
  // choice unpredictable.
  const std::vector<ResourceEntry> manifests = EntriesOfType(RT_MANIFEST);
  std::string found;
  for (const ResourceEntry& e : manifests) {
    char language[16];
    snprintf(language, sizeof language, "0x%04X", e.language);
    found += " " + e.name + " (language " + language + ")";
  }
  ASSERT_EQ(manifests.size(), 1u) << "manifest resources:" << found;
  EXPECT_EQ(manifests[0].name, "#1");
  EXPECT_EQ(manifests[0].language, kEnglishUs);

  const ResourceBytes bytes = FindEnglishResource(RT_MANIFEST, MAKEINTRESOURCEW(1));
  ASSERT_NE(bytes.data, nullptr);
  const std::string xml(reinterpret_cast<const char*>(bytes.data), bytes.size);
  EXPECT_NE(xml.find("<assembly"), std::string::npos) << xml;
  EXPECT_EQ(AttributeOf(xml, "requestedExecutionLevel", "level"), "asInvoker") << xml;
  EXPECT_EQ(AttributeOf(xml, "requestedExecutionLevel", "uiAccess"), "false") << xml;
  // Classic controls: no Common-Controls 6 dependency; no DPI awareness (dpiAware, dpiAwareness).
  EXPECT_FALSE(ContainsIgnoringCase(xml, "<dependency")) << xml;
  EXPECT_FALSE(ContainsIgnoringCase(xml, "Microsoft.Windows.Common-Controls")) << xml;
  EXPECT_FALSE(ContainsIgnoringCase(xml, "dpiAware")) << xml;
}

}  // namespace
