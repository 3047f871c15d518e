// Reads the resources of the built tessardctl.exe as data and checks them:
// the message catalogue, the installer dialog template, version, manifest,
// icon.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr WORD kEnglishUs = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);

struct CatalogueEntry {
  UINT number;
  const char* text;
};

// The catalogue as the utility must show it; "\n" is a bare line feed.
const CatalogueEntry kCatalogue[] = {
    {1, "Veltrane Portmapper Utility"},
    {2, "Name :"},
    {3, "Location :"},
    {4, "Install Veltrane Portmapper"},
    {5, "Remove Veltrane Portmapper"},
    {6, "Start automatically during system startup"},
    {7, "Manual startup"},
    {8, "&OK"},
    {9, "&Exit"},
    {10, "Veltrane Portmapper for TCP"},
    {11, "Veltrane Portmapper for SPX"},
    {12, "Enter the Tessard.exe location before installing."},
    {13, "Select Install or Remove"},
    {14, "The specified database handle was not opened with SERVICE_START."},
    {15, "Sevice managers HANDLE is invalid."},
    {16, "The service binary file could not be found."},
    {17, "The SERVICE Veltrane Portmapper) is already running."},
    {18, "The SERVICE database is locked."},
    {19,
     "The SERVICE Veltrane Portmapper) depends on a service that does not "
     "exist \n or has been marked for deletion."},
    {20,
     "The SERVICE Veltrane Portmapper) depends on another service that has "
     "failed to start."},
    {21, "The SERVICE Veltrane Portmapper) has been disabled"},
    {22, "The SERVICE Veltrane Portmapper) could not be logged on."},
    {23, "The SERVICE Veltrane Portmapper) has been marked for deletion."},
    {24,
     "The SERVICE Veltrane Portmapper) could not be created for the Win32 "
     "service."},
    {25,
     "The SERVICE Veltrane Portmapper) did not respond to the start request "
     "in a timely fashion."},
    {50,
     "Could not tell if the Veltrane Portmapper is running.\n Will try to "
     "remove it."},
    {60, "Veltrane Portmapper started."},
    {61, "Could not start Veltrane Portmapper."},
    {62,
     "Veltrane Portmapper installed successfully. \n Would you like to start "
     "it."},
    {64, "Veltrane Portmapper successfully removed."},
    {100, "FormatMessage() failed for StartService call !"},
};

const CatalogueEntry* FindCatalogueEntry(UINT number) {
  for (const CatalogueEntry& entry : kCatalogue) {
    if (entry.number == number) return &entry;
  }
  return nullptr;
}

// Bounds-checked little-endian reader over one resource's bytes. Reading
// past the end records a failure and yields zeros, so a truncated resource
// fails the test instead of reading foreign memory.
class ResourceReader {
 public:
  explicit ResourceReader(const std::vector<std::uint8_t>& bytes)
      : bytes_(bytes) {}

  size_t Offset() const { return offset_; }
  bool Overran() const { return overran_; }

  std::uint8_t Byte() { return static_cast<std::uint8_t>(Read(1)); }
  std::uint16_t Word() { return static_cast<std::uint16_t>(Read(2)); }
  std::uint32_t Dword() { return static_cast<std::uint32_t>(Read(4)); }
  std::int16_t Short() { return static_cast<std::int16_t>(Word()); }

  void AlignToDword() {
    while (offset_ % 4 != 0 && !overran_) Byte();
  }

  // A name-or-ordinal field of a dialog template: an empty string, an atom
  // (0xFFFF then the ordinal) or a zero-terminated UTF-16 string.
  std::wstring SzOrOrdinal(std::uint16_t* ordinal) {
    *ordinal = 0;
    const std::uint16_t first = Word();
    if (first == 0xFFFF) {
      *ordinal = Word();
      return std::wstring();
    }
    std::wstring text;
    for (std::uint16_t ch = first; ch != 0 && !overran_; ch = Word()) {
      text.push_back(static_cast<wchar_t>(ch));
    }
    return text;
  }

  std::wstring Sz() {
    std::wstring text;
    for (std::uint16_t ch = Word(); ch != 0 && !overran_; ch = Word()) {
      text.push_back(static_cast<wchar_t>(ch));
    }
    return text;
  }

 private:
  std::uint32_t Read(size_t size) {
    if (overran_ || bytes_.size() - offset_ < size) {
      overran_ = true;
      ADD_FAILURE() << "resource ends at " << bytes_.size() << " bytes; needed "
                    << size << " more at " << offset_;
      return 0;
    }
    std::uint32_t value = 0;
    for (size_t i = 0; i < size; ++i) {
      value |= static_cast<std::uint32_t>(bytes_[offset_ + i]) << (8 * i);
    }
    offset_ += size;
    return value;
  }

  const std::vector<std::uint8_t>& bytes_;
  size_t offset_ = 0;
  bool overran_ = false;
};

BOOL CALLBACK CollectLanguage(HMODULE, LPCSTR, LPCSTR, WORD language,
                              LONG_PTR param) {
  reinterpret_cast<std::vector<WORD>*>(param)->push_back(language);
  return TRUE;
}

BOOL CALLBACK CollectName(HMODULE, LPCSTR, LPSTR name, LONG_PTR param) {
  auto* names = reinterpret_cast<std::vector<std::string>*>(param);
  names->push_back(IS_INTRESOURCE(name)
                       ? "#" + std::to_string(reinterpret_cast<ULONG_PTR>(name))
                       : std::string(name));
  return TRUE;
}

// The executable is opened as an image of resources only: nothing of it
// runs, and its resources are read as the system's loaders read them.
class TessardctlResources : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    path_ = TESSARDCTL_EXE;
    module_ = LoadLibraryExA(
        path_.c_str(), nullptr,
        LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    loadError_ = GetLastError();
  }

  static void TearDownTestSuite() {
    if (module_ != nullptr) FreeLibrary(module_);
    module_ = nullptr;
  }

  void SetUp() override {
    ASSERT_NE(module_, nullptr)
        << "cannot open " << path_ << " as data, error " << loadError_;
  }

  // The bytes of one resource in one language; empty when it is missing.
  static std::vector<std::uint8_t> Bytes(LPCSTR type, LPCSTR name,
                                         WORD language) {
    HRSRC found = FindResourceExA(module_, type, name, language);
    if (found == nullptr) return {};
    HGLOBAL loaded = LoadResource(module_, found);
    const DWORD size = SizeofResource(module_, found);
    const auto* data = static_cast<const std::uint8_t*>(LockResource(loaded));
    if (data == nullptr) return {};
    return std::vector<std::uint8_t>(data, data + size);
  }

  static std::vector<WORD> Languages(LPCSTR type, LPCSTR name) {
    std::vector<WORD> languages;
    EnumResourceLanguagesA(module_, type, name, CollectLanguage,
                           reinterpret_cast<LONG_PTR>(&languages));
    return languages;
  }

  static std::vector<std::string> Names(LPCSTR type) {
    std::vector<std::string> names;
    EnumResourceNamesA(module_, type, CollectName,
                       reinterpret_cast<LONG_PTR>(&names));
    return names;
  }

  static std::string path_;
  static HMODULE module_;
  static DWORD loadError_;
};

std::string TessardctlResources::path_;
HMODULE TessardctlResources::module_ = nullptr;
DWORD TessardctlResources::loadError_ = 0;

// ---- Message catalogue ----------------------------------------------------

TEST_F(TessardctlResources, EveryCatalogueTextLoadsExactly) {
  for (const CatalogueEntry& entry : kCatalogue) {
    SCOPED_TRACE("message " + std::to_string(entry.number));
    char buffer[1024];
    std::memset(buffer, 'x', sizeof buffer);
    const int length =
        LoadStringA(module_, entry.number, buffer, sizeof buffer);
    ASSERT_GT(length, 0) << "missing, error " << GetLastError();
    EXPECT_EQ(std::string(buffer, static_cast<size_t>(length)), entry.text);
    EXPECT_EQ(buffer[length], '\0');
  }
}

// Catalogue texts are at most 255 characters: the 256-byte buffers of the
// front end hold every one whole.
TEST_F(TessardctlResources, NoCatalogueTextOutgrowsAFrontEndBuffer) {
  for (const CatalogueEntry& entry : kCatalogue) {
    SCOPED_TRACE("message " + std::to_string(entry.number));
    char buffer[256];
    const int length =
        LoadStringA(module_, entry.number, buffer, sizeof buffer);
    EXPECT_EQ(std::string(buffer, static_cast<size_t>(length)), entry.text);
  }
}

// The string table holds the catalogue and nothing else, in English (United
// States) only: every block is read raw, in that language.
TEST_F(TessardctlResources, StringTableHoldsTheCatalogueOnlyInUsEnglish) {
  const std::vector<std::string> blocks = Names(RT_STRING);
  ASSERT_FALSE(blocks.empty());
  std::vector<UINT> seen;
  for (const std::string& block : blocks) {
    SCOPED_TRACE("string block " + block);
    ASSERT_EQ(block[0], '#') << "string blocks are numbered";
    const UINT blockNumber = static_cast<UINT>(std::stoul(block.substr(1)));
    LPCSTR name = MAKEINTRESOURCEA(blockNumber);
    EXPECT_EQ(Languages(RT_STRING, name), std::vector<WORD>{kEnglishUs});

    const std::vector<std::uint8_t> bytes = Bytes(RT_STRING, name, kEnglishUs);
    ASSERT_FALSE(bytes.empty());
    ResourceReader reader(bytes);
    // A block holds 16 counted UTF-16 strings, numbered from (block - 1) * 16.
    for (UINT i = 0; i < 16; ++i) {
      const UINT number = (blockNumber - 1) * 16 + i;
      const std::uint16_t count = reader.Word();
      std::wstring text;
      for (std::uint16_t c = 0; c < count; ++c) text.push_back(reader.Word());
      ASSERT_FALSE(reader.Overran());
      if (count == 0) continue;
      seen.push_back(number);
      const CatalogueEntry* entry = FindCatalogueEntry(number);
      ASSERT_NE(entry, nullptr)
          << "text " << number << " is not in the catalogue";
      EXPECT_EQ(text, std::wstring(entry->text,
                                   entry->text + std::strlen(entry->text)))
          << "stored text of message " << number;
    }
  }
  EXPECT_EQ(seen.size(), std::size(kCatalogue));
}

// ---- Installer dialog template --------------------------------------------

struct ExpectedControl {
  WORD id;
  WORD classAtom;
  DWORD style;
  short x, y, cx, cy;
};

constexpr WORD kButton = 0x0080;
constexpr WORD kEdit = 0x0081;
constexpr WORD kStatic = 0x0082;

constexpr DWORD kChild = WS_CHILD | WS_VISIBLE;

// In order of tabbing and drawing.
const ExpectedControl kControls[] = {
    // OK, the default button, and Exit
    {1014, kButton, kChild | WS_TABSTOP | BS_DEFPUSHBUTTON, 57, 186, 50, 14},
    {1015, kButton, kChild | WS_TABSTOP | BS_PUSHBUTTON, 123, 186, 50, 14},
    // Install, which starts a group, and Remove
    {1010, kButton, kChild | WS_GROUP | BS_AUTORADIOBUTTON, 12, 60, 203, 10},
    {1011, kButton, kChild | BS_AUTORADIOBUTTON, 12, 79, 203, 10},
    // the location, "Location :", "Name :" and the read-only name
    {1002, kEdit, kChild | WS_BORDER | WS_TABSTOP | ES_LEFT | ES_AUTOHSCROLL,
     48, 35, 174, 13},
    {1009, kStatic, kChild | WS_GROUP | SS_LEFT, 8, 37, 35, 8},
    {1008, kStatic, kChild | WS_GROUP | SS_LEFT, 8, 14, 32, 8},
    {1003, kEdit,
     kChild | WS_BORDER | WS_TABSTOP | ES_LEFT | ES_AUTOHSCROLL | ES_READONLY,
     48, 11, 174, 13},
    // automatic, which starts a group, and manual start-up
    {1012, kButton, kChild | WS_GROUP | BS_AUTORADIOBUTTON, 12, 112, 203, 10},
    {1013, kButton, kChild | BS_AUTORADIOBUTTON, 12, 128, 203, 10},
    // the two group boxes
    {0xFFFF, kButton, kChild | BS_GROUPBOX, 5, 50, 216, 47},
    {0xFFFF, kButton, kChild | BS_GROUPBOX, 6, 102, 215, 42},
};

TEST_F(TessardctlResources, DialogTemplateIsTheStandardFormInUsEnglishOnly) {
  EXPECT_EQ(Languages(RT_DIALOG, MAKEINTRESOURCEA(101)),
            std::vector<WORD>{kEnglishUs});
  EXPECT_EQ(Names(RT_DIALOG), std::vector<std::string>{"#101"});
  const std::vector<std::uint8_t> bytes =
      Bytes(RT_DIALOG, MAKEINTRESOURCEA(101), kEnglishUs);
  ASSERT_GE(bytes.size(), sizeof(DLGTEMPLATE));
  ResourceReader reader(bytes);
  // The extended form begins with version 1 and signature 0xFFFF.
  EXPECT_NE(reader.Dword(), 0xFFFF0001u);
}

TEST_F(TessardctlResources, DialogTemplateHeaderFields) {
  const std::vector<std::uint8_t> bytes =
      Bytes(RT_DIALOG, MAKEINTRESOURCEA(101), kEnglishUs);
  ASSERT_FALSE(bytes.empty());
  ResourceReader reader(bytes);
  EXPECT_EQ(reader.Dword(),
            static_cast<DWORD>(WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU |
                               DS_MODALFRAME | DS_SETFONT))
      << "style";
  EXPECT_EQ(reader.Dword(), 0u) << "extended style";
  EXPECT_EQ(reader.Word(), 12u) << "number of controls";
  EXPECT_EQ(reader.Short(), 0);
  EXPECT_EQ(reader.Short(), 0);
  EXPECT_EQ(reader.Short(), 231);
  EXPECT_EQ(reader.Short(), 207);
  std::uint16_t ordinal = 0;
  EXPECT_EQ(reader.SzOrOrdinal(&ordinal), L"") << "menu";
  EXPECT_EQ(ordinal, 0u) << "no menu";
  EXPECT_EQ(reader.SzOrOrdinal(&ordinal), L"") << "class";
  EXPECT_EQ(ordinal, 0u) << "the default dialog class";
  EXPECT_EQ(reader.Sz(), L"") << "title";
  EXPECT_EQ(reader.Word(), 8u) << "font size";
  EXPECT_EQ(reader.Sz(), L"MS Sans Serif");
  EXPECT_FALSE(reader.Overran());
}

TEST_F(TessardctlResources, DialogTemplateControls) {
  const std::vector<std::uint8_t> bytes =
      Bytes(RT_DIALOG, MAKEINTRESOURCEA(101), kEnglishUs);
  ASSERT_FALSE(bytes.empty());
  ResourceReader reader(bytes);
  for (int i = 0; i < 9; ++i)
    reader.Word();  // style, extended style, count, rectangle
  std::uint16_t ordinal = 0;
  reader.SzOrOrdinal(&ordinal);  // menu
  reader.SzOrOrdinal(&ordinal);  // class
  reader.Sz();                   // title
  reader.Word();                 // font size
  reader.Sz();                   // font name
  ASSERT_FALSE(reader.Overran());

  int index = 0;
  for (const ExpectedControl& expected : kControls) {
    SCOPED_TRACE("control #" + std::to_string(++index) + ", id " +
                 std::to_string(expected.id));
    reader.AlignToDword();  // each DLGITEMTEMPLATE starts on a DWORD
    EXPECT_EQ(reader.Dword(), expected.style) << "style";
    EXPECT_EQ(reader.Dword(), 0u) << "extended style";
    EXPECT_EQ(reader.Short(), expected.x);
    EXPECT_EQ(reader.Short(), expected.y);
    EXPECT_EQ(reader.Short(), expected.cx);
    EXPECT_EQ(reader.Short(), expected.cy);
    EXPECT_EQ(reader.Word(), expected.id) << "id";
    EXPECT_EQ(reader.SzOrOrdinal(&ordinal), L"") << "class given by name";
    EXPECT_EQ(ordinal, expected.classAtom) << "class atom";
    EXPECT_EQ(reader.SzOrOrdinal(&ordinal), L"") << "text";
    EXPECT_EQ(ordinal, 0u) << "text given as a resource ordinal";
    EXPECT_EQ(reader.Word(), 0u) << "creation data";
    ASSERT_FALSE(reader.Overran());
  }
  // Nothing follows the twelfth control but, perhaps, padding to a DWORD.
  EXPECT_EQ((reader.Offset() + 3) / 4, (bytes.size() + 3) / 4)
      << "bytes after the twelfth control";
}

// ---- Version block ----------------------------------------------------------

// The version information, copied out of the resource. Queries go through
// the wide form, which reads the copy in place; the narrow form would need
// the room for conversion that only GetFileVersionInfoA provides.
class TessardctlVersion : public TessardctlResources {
 protected:
  void SetUp() override {
    TessardctlResources::SetUp();
    ASSERT_EQ(Names(RT_VERSION), std::vector<std::string>{"#1"});
    block_ = Bytes(RT_VERSION, MAKEINTRESOURCEA(VS_VERSION_INFO), kEnglishUs);
    ASSERT_FALSE(block_.empty()) << "no US English version resource 1";
  }

  std::wstring StringValue(const wchar_t* name) {
    const std::wstring path =
        std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
    void* value = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(block_.data(), path.c_str(), &value, &length) ||
        length == 0) {
      return L"<missing>";
    }
    std::wstring text(static_cast<const wchar_t*>(value), length);
    // The reported length counts the terminator with some writers.
    while (!text.empty() && text.back() == L'\0') text.pop_back();
    return text;
  }

  std::vector<std::uint8_t> block_;
};

// The version comes from project(VERSION), as the build passes it here.
constexpr WORD kVersion[] = {TESSARD_VERSION};
constexpr DWORD kVersionMS = MAKELONG(kVersion[1], kVersion[0]);
constexpr DWORD kVersionLS = MAKELONG(kVersion[3], kVersion[2]);

TEST_F(TessardctlVersion, FixedFileAndProductVersionAreTheProjectVersion) {
  void* value = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(block_.data(), L"\\", &value, &length));
  ASSERT_EQ(length, sizeof(VS_FIXEDFILEINFO));
  VS_FIXEDFILEINFO info;
  std::memcpy(&info, value, sizeof info);
  EXPECT_EQ(info.dwSignature, 0xFEEF04BDu);
  EXPECT_EQ(info.dwFileVersionMS, kVersionMS);
  EXPECT_EQ(info.dwFileVersionLS, kVersionLS);
  EXPECT_EQ(info.dwProductVersionMS, kVersionMS);
  EXPECT_EQ(info.dwProductVersionLS, kVersionLS);
  EXPECT_EQ(info.dwFileType, static_cast<DWORD>(VFT_APP));
  EXPECT_EQ(info.dwFileFlags & info.dwFileFlagsMask, 0u)
      << "no debug or pre-release flag";
}

TEST_F(TessardctlVersion, StringsNameTheProductAndItsVersion) {
  EXPECT_EQ(StringValue(L"ProductName"), L"Quaykit");
  EXPECT_EQ(StringValue(L"FileVersion"), L"" TESSARD_VERSION_TEXT);
  EXPECT_EQ(StringValue(L"ProductVersion"), L"" TESSARD_VERSION_TEXT);
  EXPECT_EQ(StringValue(L"OriginalFilename"), L"tessardctl.exe");
}

TEST_F(TessardctlVersion, TranslationIsUsEnglishUnicode) {
  void* value = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(block_.data(), L"\\VarFileInfo\\Translation",
                             &value, &length));
  ASSERT_EQ(length, 4u);
  WORD pair[2];
  std::memcpy(pair, value, sizeof pair);
  EXPECT_EQ(pair[0], kEnglishUs);
  EXPECT_EQ(pair[1], 1200u);
}

// What a file's property page reads: the system's own loading of the file.
TEST_F(TessardctlResources, VersionReadFromTheFileAgrees) {
  DWORD handle = 0;
  const DWORD size = GetFileVersionInfoSizeA(path_.c_str(), &handle);
  ASSERT_GT(size, 0u) << "error " << GetLastError();
  std::vector<std::uint8_t> info(size);
  ASSERT_TRUE(GetFileVersionInfoA(path_.c_str(), 0, size, info.data()));
  void* value = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueA(
      info.data(), "\\StringFileInfo\\040904B0\\ProductName", &value, &length));
  EXPECT_STREQ(static_cast<const char*>(value), "Quaykit");
  ASSERT_TRUE(VerQueryValueA(info.data(), "\\", &value, &length));
  VS_FIXEDFILEINFO fixed;
  std::memcpy(&fixed, value, sizeof fixed);
  EXPECT_EQ(fixed.dwFileVersionMS, kVersionMS);
  EXPECT_EQ(fixed.dwFileVersionLS, kVersionLS);
}

// ---- Manifest ---------------------------------------------------------------

// The attribute's value inside the first element of that name, or
// "<missing>".
std::string Attribute(const std::string& xml, const std::string& element,
                      const std::string& attribute) {
  const size_t start = xml.find("<" + element);
  if (start == std::string::npos) return "<missing>";
  const size_t end = xml.find('>', start);
  const std::string tag = xml.substr(start, end - start);
  for (const char quote : {'"', '\''}) {
    const std::string key = " " + attribute + "=" + quote;
    const size_t at = tag.find(key);
    if (at == std::string::npos) continue;
    const size_t from = at + key.size();
    const size_t to = tag.find(quote, from);
    if (to == std::string::npos) return "<unterminated>";
    return tag.substr(from, to - from);
  }
  return "<missing>";
}

TEST_F(TessardctlResources, ManifestAsksToRunAsInvokerWithoutUiAccess) {
  // One manifest only: a second one from the toolchain would be ambiguous.
  ASSERT_EQ(Names(RT_MANIFEST), std::vector<std::string>{"#1"});
  const std::vector<std::uint8_t> bytes =
      Bytes(RT_MANIFEST, CREATEPROCESS_MANIFEST_RESOURCE_ID, kEnglishUs);
  ASSERT_FALSE(bytes.empty());
  const std::string xml(bytes.begin(), bytes.end());
  EXPECT_EQ(Attribute(xml, "assemblyIdentity", "version"),
            TESSARD_VERSION_TEXT);
  EXPECT_EQ(Attribute(xml, "requestedExecutionLevel", "level"), "asInvoker");
  EXPECT_EQ(Attribute(xml, "requestedExecutionLevel", "uiAccess"), "false");
  EXPECT_EQ(xml.find("<requestedExecutionLevel",
                     xml.find("<requestedExecutionLevel") + 1),
            std::string::npos)
      << "a second execution level";
}

// ---- Icon -------------------------------------------------------------------

TEST_F(TessardctlResources, IconGroupQuaykitHoldsOne32x32SixteenColourImage) {
  EXPECT_EQ(Names(RT_GROUP_ICON), std::vector<std::string>{"QUAYKIT"})
      << "the one icon group is the application icon";
  const std::vector<std::uint8_t> group =
      Bytes(RT_GROUP_ICON, "QUAYKIT", kEnglishUs);
  ASSERT_FALSE(group.empty());
  ResourceReader reader(group);
  EXPECT_EQ(reader.Word(), 0u) << "reserved";
  EXPECT_EQ(reader.Word(), 1u) << "type: icon";
  ASSERT_EQ(reader.Word(), 1u) << "number of images";
  EXPECT_EQ(reader.Byte(), 32u) << "width";
  EXPECT_EQ(reader.Byte(), 32u) << "height";
  EXPECT_EQ(reader.Byte(), 16u) << "colours";
  EXPECT_EQ(reader.Byte(), 0u) << "reserved";
  EXPECT_EQ(reader.Word(), 1u) << "planes";
  EXPECT_EQ(reader.Word(), 4u) << "bits per pixel";
  const DWORD imageSize = reader.Dword();
  const WORD imageId = reader.Word();
  ASSERT_FALSE(reader.Overran());
  EXPECT_EQ(reader.Offset(), group.size());

  // The system picks that image for a 32 x 32 16-colour display.
  EXPECT_EQ(LookupIconIdFromDirectoryEx(const_cast<std::uint8_t*>(group.data()),
                                        TRUE, 32, 32, LR_DEFAULTCOLOR),
            imageId);

  const std::vector<std::uint8_t> image =
      Bytes(RT_ICON, MAKEINTRESOURCEA(imageId), kEnglishUs);
  ASSERT_EQ(image.size(), imageSize) << "size recorded in the group";
  ASSERT_GE(image.size(), sizeof(BITMAPINFOHEADER));
  BITMAPINFOHEADER header;
  std::memcpy(&header, image.data(), sizeof header);
  EXPECT_EQ(header.biSize, sizeof(BITMAPINFOHEADER));
  EXPECT_EQ(header.biWidth, 32);
  EXPECT_EQ(header.biHeight, 64) << "colour and mask bitmaps together";
  EXPECT_EQ(header.biPlanes, 1);
  EXPECT_EQ(header.biBitCount, 4);
  EXPECT_EQ(header.biCompression, static_cast<DWORD>(BI_RGB));
  EXPECT_TRUE(header.biClrUsed == 0 || header.biClrUsed == 16)
      << header.biClrUsed;
  // Header, 16-entry palette, 4-bit colour rows and 1-bit mask rows.
  EXPECT_EQ(image.size(), 40u + 16 * 4 + 32 * 16 + 32 * 4);
}

TEST_F(TessardctlResources, IconImageMakesAnIcon) {
  const std::vector<std::uint8_t> group =
      Bytes(RT_GROUP_ICON, "QUAYKIT", kEnglishUs);
  ASSERT_GE(group.size(), 20u);
  const int imageId = LookupIconIdFromDirectoryEx(
      const_cast<std::uint8_t*>(group.data()), TRUE, 32, 32, LR_DEFAULTCOLOR);
  std::vector<std::uint8_t> image =
      Bytes(RT_ICON, MAKEINTRESOURCEA(imageId), kEnglishUs);
  ASSERT_FALSE(image.empty());
  HICON icon =
      CreateIconFromResourceEx(image.data(), static_cast<DWORD>(image.size()),
                               TRUE, 0x00030000, 32, 32, LR_DEFAULTCOLOR);
  ASSERT_NE(icon, nullptr) << "error " << GetLastError();
  ICONINFO info{};
  ASSERT_TRUE(GetIconInfo(icon, &info));
  BITMAP colour{};
  EXPECT_TRUE(info.hbmColor != nullptr &&
              GetObjectA(info.hbmColor, sizeof colour, &colour) ==
                  sizeof colour);
  EXPECT_EQ(colour.bmWidth, 32);
  EXPECT_EQ(colour.bmHeight, 32);
  if (info.hbmColor != nullptr) DeleteObject(info.hbmColor);
  if (info.hbmMask != nullptr) DeleteObject(info.hbmMask);
  DestroyIcon(icon);
}

}  // namespace
