// File: RegistryTest.cpp
//
// What a program can rely on from the registry, checked through the Win32 calls alone. Written
// to build and pass unchanged against Windows' own registry, so it makes no other system calls
// and it writes only below qeltest::kTestRoot.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "QelRegistry.h"
#include "RegistryKey.h"
#include "support/HiveSandbox.h"
#include "support/RegistryProbe.h"

namespace {

using Bytes = std::vector<BYTE>;

using qelreg::RegKey;

struct Stored {
    LSTATUS status = ERROR_SUCCESS;
    DWORD type = 0;
    Bytes bytes;
};

// A text's bytes without a terminator.
Bytes TextBytes(const std::u16string& text) { return qeltest::TextBytes(text, false); }

// The counted bytes are followed by `after`, a non-NUL sentinel unless a test says otherwise:
// a NUL unit just past the count of a text value is stored with it (see
// TextSetWithoutItsTerminatorKeepsTheNulAfterIt), while elsewhere the count alone is what a
// value holds.
LSTATUS Set(HKEY key, const char16_t* name, DWORD type, const Bytes& bytes,
            const Bytes& after = {0xFF, 0xFF}) {
    Bytes buffer(bytes);
    buffer.insert(buffer.end(), after.begin(), after.end());
    return RegSetValueExW(key, name == nullptr ? nullptr : Win32Str(name), 0, type,
                          bytes.empty() ? nullptr : buffer.data(),
                          static_cast<DWORD>(bytes.size()));
}

LSTATUS SetDword(HKEY key, const char16_t* name, DWORD value) {
    Bytes bytes(4);
    std::memcpy(bytes.data(), &value, 4);
    return Set(key, name, REG_DWORD, bytes);
}

// Asks for the size, then reads into a buffer of exactly that size.
Stored Query(HKEY key, const char16_t* name) {
    Stored stored;
    LPCWSTR win32Name = name == nullptr ? nullptr : Win32Str(name);
    DWORD size = 0;
    stored.status = RegQueryValueExW(key, win32Name, nullptr, &stored.type, nullptr, &size);
    if (stored.status != ERROR_SUCCESS) return stored;
    stored.bytes.resize(size);
    stored.status =
        RegQueryValueExW(key, win32Name, nullptr, &stored.type, stored.bytes.data(), &size);
    EXPECT_EQ(size, stored.bytes.size()) << "the size changed between two reads";
    return stored;
}

// The names a key lists, in enumeration order, through the shared enumeration helpers.
std::vector<std::u16string> SubKeys(HKEY key) {
    std::vector<std::u16string> names;
    EXPECT_EQ(qelreg::ListSubKeys(key, names), ERROR_SUCCESS);
    return names;
}
std::vector<std::u16string> ValueNames(HKEY key) {
    std::vector<qelreg::NamedValue> values;
    EXPECT_EQ(qelreg::ListValues(key, values), ERROR_SUCCESS);
    std::vector<std::u16string> names;
    for (const qelreg::NamedValue& value : values) names.push_back(value.name);
    return names;
}

// One body, run over both hives.
class RegistryTest : public ::testing::TestWithParam<HKEY> {
protected:
    HKEY Root() const { return GetParam(); }
    static std::u16string PathOf(const std::u16string& sub) {
        return std::u16string(qeltest::kTestRoot) + u"\\" + sub;
    }
    RegKey Create(const std::u16string& sub, REGSAM access = KEY_ALL_ACCESS,
                  DWORD* disposition = nullptr) {
        RegKey key;
        EXPECT_EQ(key.Create(Root(), PathOf(sub), access, disposition), ERROR_SUCCESS)
            << "creating the test key";
        return key;
    }
    LSTATUS Open(const std::u16string& sub, REGSAM access, RegKey* key) {
        return key->Open(Root(), PathOf(sub), access);
    }
    bool Exists(const std::u16string& sub) {
        RegKey key;
        return Open(sub, KEY_READ, &key) == ERROR_SUCCESS;
    }

    qeltest::HiveSandbox m_sandbox;
};

TEST_P(RegistryTest, CreateMakesMissingParentsAndReportsDisposition) {
    DWORD disposition = 0;
    RegKey deep = Create(u"Create\\A\\B\\C", KEY_ALL_ACCESS, &disposition);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    EXPECT_TRUE(Exists(u"Create\\A"));
    EXPECT_TRUE(Exists(u"Create\\A\\B"));

    disposition = 0;
    RegKey again = Create(u"Create\\A\\B\\C", KEY_ALL_ACCESS, &disposition);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
    disposition = 0;
    RegKey parent = Create(u"Create\\A", KEY_ALL_ACCESS, &disposition);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));

    // The disposition is optional; the handles name the same key.
    RegKey noDisposition = Create(u"Create\\A\\B\\C");
    ASSERT_EQ(SetDword(deep.Get(), u"v", 7), ERROR_SUCCESS);
    EXPECT_EQ(Query(noDisposition.Get(), u"v").bytes, Query(deep.Get(), u"v").bytes);
}

TEST_P(RegistryTest, OpeningAMissingKeyFails) {
    RegKey base = Create(u"Missing");
    for (const char16_t* sub : {u"Missing\\Nope", u"Missing\\Nope\\Deeper", u"NoSuchBase\\X"}) {
        RegKey key;
        EXPECT_EQ(Open(sub, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
    }
    RegKey key;
    EXPECT_EQ(RegOpenKeyExW(base.Get(), Win32Str(u"Nope"), 0, KEY_READ, key.Receive()),
              ERROR_FILE_NOT_FOUND);
}

TEST_P(RegistryTest, OpeningWithNoSubKeyGivesTheSameKey) {
    RegKey base = Create(u"Self");
    ASSERT_EQ(SetDword(base.Get(), u"v", 42), ERROR_SUCCESS);
    for (const char16_t* sub : {static_cast<const char16_t*>(nullptr), u""}) {
        RegKey self;
        ASSERT_EQ(RegOpenKeyExW(base.Get(), sub == nullptr ? nullptr : Win32Str(sub), 0, KEY_READ,
                                self.Receive()),
                  ERROR_SUCCESS);
        EXPECT_EQ(Query(self.Get(), u"v").status, ERROR_SUCCESS);
    }
    RegKey root;
    EXPECT_EQ(RegOpenKeyExW(Root(), nullptr, 0, KEY_READ, root.Receive()), ERROR_SUCCESS);
}

struct CaseCase {
    const char16_t* stored;
    const char16_t* asked;
};

// Folding reaches beyond ASCII, by case pairs: "ß" has no single-letter capital and stays itself,
// and a final sigma is not the same letter as a capital sigma.
const CaseCase kSameName[] = {
    {u"MixedCase", u"mIXEDcASE"},
    {u"\u00C4rger", u"\u00E4RGER"},  // Ärger
    {u"\u03A3\u03AF\u03C3\u03C5\u03C6\u03BF\u03C2", u"\u03C3\u038A\u03A3\u03A5\u03A6\u039F\u03C2"},
    {u"\u041F\u0440\u0438\u0432\u0435\u0442", u"\u043F\u0420\u0418\u0412\u0415\u0422"},  // Привет
    {u"stra\u00DFe", u"STRA\u00DFE"},
};

TEST_P(RegistryTest, KeyNamesIgnoreCaseAndKeepIt) {
    for (const auto& names : kSameName) {
        SCOPED_TRACE(testing::Message() << "case " << (&names - kSameName));
        RegKey parent = Create(u"KeyCase");
        RegKey child;
        ASSERT_EQ(RegCreateKeyExW(parent.Get(), Win32Str(names.stored), 0, nullptr, 0,
                                  KEY_ALL_ACCESS, nullptr, child.Receive(), nullptr),
                  ERROR_SUCCESS);
        RegKey other;
        DWORD disposition = 0;
        EXPECT_EQ(RegCreateKeyExW(parent.Get(), Win32Str(names.asked), 0, nullptr, 0,
                                  KEY_ALL_ACCESS, nullptr, other.Receive(), &disposition),
                  ERROR_SUCCESS);
        EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
        EXPECT_EQ(SubKeys(parent.Get()), std::vector<std::u16string>{names.stored});
        RegDeleteKeyW(parent.Get(), Win32Str(names.stored));
    }
}

TEST_P(RegistryTest, ValueNamesIgnoreCaseAndKeepIt) {
    RegKey key = Create(u"ValueCase");
    for (const auto& names : kSameName) {
        SCOPED_TRACE(testing::Message() << "case " << (&names - kSameName));
        ASSERT_EQ(SetDword(key.Get(), names.stored, 1), ERROR_SUCCESS);
        EXPECT_EQ(Query(key.Get(), names.asked).status, ERROR_SUCCESS);
        // Writing through the other spelling replaces the value and keeps its first name.
        ASSERT_EQ(SetDword(key.Get(), names.asked, 2), ERROR_SUCCESS);
        EXPECT_EQ(ValueNames(key.Get()), std::vector<std::u16string>{names.stored});
        EXPECT_EQ(Query(key.Get(), names.stored).bytes, (Bytes{2, 0, 0, 0}));
        EXPECT_EQ(RegDeleteValueW(key.Get(), Win32Str(names.asked)), ERROR_SUCCESS);
    }
}

TEST_P(RegistryTest, NamesThatOnlyLookAlikeStayApart) {
    RegKey key = Create(u"Distinct");
    // Letters that share a capital with another letter are not that letter's case pair.
    const char16_t* names[] = {u"strasse", u"stra\u00DFe", u"Kay",    u"K\u00E4y",
                               u"I",       u"\u0130",      u"\u0131", u"\u03A3",
                               u"\u03C2",  u"\u00B5",      u"\u039C"};
    for (DWORD i = 0; i < std::size(names); ++i)
        ASSERT_EQ(SetDword(key.Get(), names[i], i), ERROR_SUCCESS);
    EXPECT_EQ(ValueNames(key.Get()).size(), std::size(names));
    for (DWORD i = 0; i < std::size(names); ++i) {
        Bytes expected(4);
        std::memcpy(expected.data(), &i, 4);
        EXPECT_EQ(Query(key.Get(), names[i]).bytes, expected) << i;
    }
}

TEST_P(RegistryTest, ARunOfBackslashesIsOneSeparator) {
    RegKey made = Create(u"Sep\\A\\B");
    ASSERT_EQ(SetDword(made.Get(), u"v", 5), ERROR_SUCCESS);
    for (const char16_t* spelling :
         {u"Sep\\\\A\\\\\\B", u"Sep\\A\\B\\", u"Sep\\A\\B\\\\", u"\\Sep\\A\\B", u"Sep\\\\A\\B"}) {
        SCOPED_TRACE(
            std::string(spelling, spelling + std::char_traits<char16_t>::length(spelling)));
        RegKey key;
        ASSERT_EQ(Open(spelling, KEY_READ, &key), ERROR_SUCCESS);
        EXPECT_EQ(Query(key.Get(), u"v").status, ERROR_SUCCESS);
    }
    RegKey sep;
    ASSERT_EQ(Open(u"Sep", KEY_READ, &sep), ERROR_SUCCESS);
    EXPECT_EQ(SubKeys(sep.Get()), std::vector<std::u16string>{u"A"});

    DWORD disposition = 0;
    RegKey doubled = Create(u"Sep\\\\A\\\\B\\\\C\\\\", KEY_ALL_ACCESS, &disposition);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    EXPECT_TRUE(Exists(u"Sep\\A\\B\\C"));
}

TEST_P(RegistryTest, KeysExistWithoutValues) {
    RegKey key = Create(u"Empty\\Leaf");
    EXPECT_TRUE(ValueNames(key.Get()).empty());
    EXPECT_TRUE(SubKeys(key.Get()).empty());
    EXPECT_TRUE(Exists(u"Empty\\Leaf"));
    EXPECT_EQ(Query(key.Get(), nullptr).status, ERROR_FILE_NOT_FOUND);
}

TEST_P(RegistryTest, TheDefaultValueHasTheEmptyName) {
    RegKey key = Create(u"Default");
    ASSERT_EQ(Set(key.Get(), nullptr, REG_SZ, TextBytes(u"unnamed")), ERROR_SUCCESS);
    EXPECT_EQ(Query(key.Get(), u"").bytes, TextBytes(u"unnamed"));
    ASSERT_EQ(Set(key.Get(), u"", REG_SZ, TextBytes(u"again")), ERROR_SUCCESS);
    EXPECT_EQ(Query(key.Get(), nullptr).bytes, TextBytes(u"again"));
    EXPECT_EQ(ValueNames(key.Get()), std::vector<std::u16string>{u""});
    EXPECT_EQ(RegDeleteValueW(key.Get(), nullptr), ERROR_SUCCESS);
    EXPECT_EQ(Query(key.Get(), u"").status, ERROR_FILE_NOT_FOUND);
}

struct ExactCase {
    const char* what;
    DWORD type;
    Bytes bytes;
};

const ExactCase kExact[] = {
    {"empty binary", REG_BINARY, {}},
    {"one byte", REG_BINARY, {0xAB}},
    {"odd count", REG_BINARY, {1, 2, 3, 4, 5}},
    {"embedded NULs", REG_BINARY, {0, 0, 7, 0, 0}},
    {"text with NUL inside", REG_SZ, {'a', 0, 0, 0, 'b', 0, 0, 0}},
    {"text without terminator", REG_SZ, {'a', 0, 'b', 0}},
    {"lone surrogates", REG_SZ, {0x00, 0xD8, 'x', 0, 0x00, 0xDC, 0, 0}},
    {"odd-length text", REG_EXPAND_SZ, {'%', 0, 'X'}},
    {"multi-string", REG_MULTI_SZ, {'a', 0, 0, 0, 'b', 0, 0, 0, 0, 0}},
    {"dword", REG_DWORD, {0x78, 0x56, 0x34, 0x12}},
    {"short dword", REG_DWORD, {1, 2}},
    {"qword", REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8}},
    {"none with data", REG_NONE, {9, 9}},
    {"a type of its own", 0x12345678, {0xFF, 0xFE}},
    {"largest type", 0xFFFFFFFF, {1}},
};

TEST_P(RegistryTest, ValuesKeepTheirTypeAndBytesExactly) {
    RegKey key = Create(u"Exact");
    for (const auto& value : kExact) {
        SCOPED_TRACE(value.what);
        ASSERT_EQ(Set(key.Get(), u"value", value.type, value.bytes), ERROR_SUCCESS);
        Stored stored = Query(key.Get(), u"value");
        ASSERT_EQ(stored.status, ERROR_SUCCESS);
        EXPECT_EQ(stored.type, value.type);
        EXPECT_EQ(stored.bytes, value.bytes);
    }
    Bytes large(70000);
    for (std::size_t i = 0; i < large.size(); ++i) large[i] = static_cast<BYTE>(i * 7 + 3);
    ASSERT_EQ(Set(key.Get(), u"large", REG_BINARY, large), ERROR_SUCCESS);
    EXPECT_EQ(Query(key.Get(), u"large").bytes, large);
}

TEST_P(RegistryTest, QueryFollowsTheBufferProtocol) {
    RegKey key = Create(u"Buffer");
    const Bytes data{1, 2, 3, 4, 5, 6};
    ASSERT_EQ(Set(key.Get(), u"v", REG_BINARY, data), ERROR_SUCCESS);

    DWORD type = 0;
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExW(key.Get(), Win32Str(u"v"), nullptr, &type, nullptr, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(size, data.size());
    EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));

    Bytes small(3);
    size = static_cast<DWORD>(small.size());
    EXPECT_EQ(RegQueryValueExW(key.Get(), Win32Str(u"v"), nullptr, nullptr, small.data(), &size),
              ERROR_MORE_DATA);
    EXPECT_EQ(size, data.size());

    Bytes exact(data.size());
    size = static_cast<DWORD>(exact.size());
    EXPECT_EQ(RegQueryValueExW(key.Get(), Win32Str(u"v"), nullptr, nullptr, exact.data(), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(exact, data);

    // Only whether it exists, and its type.
    type = 0;
    EXPECT_EQ(RegQueryValueExW(key.Get(), Win32Str(u"v"), nullptr, &type, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));

    size = 0;
    EXPECT_EQ(RegQueryValueExW(key.Get(), Win32Str(u"absent"), nullptr, &type, nullptr, &size),
              ERROR_FILE_NOT_FOUND);
    size = static_cast<DWORD>(exact.size());
    EXPECT_EQ(
        RegQueryValueExW(key.Get(), Win32Str(u"absent"), nullptr, nullptr, exact.data(), &size),
        ERROR_FILE_NOT_FOUND);
}

// Both the type and the size in one variable: the buffer's size is read before the type is
// written over it, and the size is what the variable holds afterwards.
TEST_P(RegistryTest, QueryServesOneVariableForTypeAndSize) {
    struct Row {
        const char* what;
        DWORD type;
        Bytes bytes;
        DWORD capacity;
        LSTATUS status;
    };
    const Bytes text = TextBytes(u"hello");
    const Row rows[] = {
        {"binary, room to spare", REG_BINARY, {1, 2, 3, 4, 5, 6}, 16, ERROR_SUCCESS},
        {"binary, exact room", REG_BINARY, {1, 2, 3, 4, 5, 6}, 6, ERROR_SUCCESS},
        {"binary, too little room", REG_BINARY, {1, 2, 3, 4, 5, 6}, 5, ERROR_MORE_DATA},
        {"text, exact room", REG_SZ, text, static_cast<DWORD>(text.size()), ERROR_SUCCESS},
        {"dword", REG_DWORD, {7, 0, 0, 0}, 4, ERROR_SUCCESS},
        {"qword, too little room", REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8}, 4, ERROR_MORE_DATA},
    };
    RegKey key = Create(u"OneVariable");
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ASSERT_EQ(Set(key.Get(), u"v", row.type, row.bytes), ERROR_SUCCESS);
        Bytes buffer(32, 0xCC);
        DWORD both = row.capacity;
        EXPECT_EQ(RegQueryValueExW(key.Get(), Win32Str(u"v"), nullptr, &both, buffer.data(), &both),
                  row.status);
        EXPECT_EQ(both, row.bytes.size());
        if (row.status == ERROR_SUCCESS) {
            EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + row.bytes.size()), row.bytes);
        }

        both = 0;  // only the size: no buffer to read a capacity for
        EXPECT_EQ(RegQueryValueExW(key.Get(), Win32Str(u"v"), nullptr, &both, nullptr, &both),
                  ERROR_SUCCESS);
        EXPECT_EQ(both, row.bytes.size());

        // Enumeration reports a value's data the same way.
        char16_t name[8];
        DWORD length = 8;
        both = row.capacity;
        EXPECT_EQ(RegEnumValueW(key.Get(), 0, Win32Str(name), &length, nullptr, &both,
                                buffer.data(), &both),
                  row.status);
        EXPECT_EQ(both, row.bytes.size());
    }
}

struct TerminatorCase {
    const char* what;
    DWORD type;
    Bytes counted;
    Bytes after;  // the bytes just past the count
    Bytes stored;
};

// Writing text.size() * 2 bytes is a common mistake: a NUL unit that follows the counted text is
// stored with it, if the text does not already end in one. Units are those of a UTF-16 string
// starting at the data, so with an odd count the unit looked at straddles the count's end.
const TerminatorCase kTerminator[] = {
    {"text", REG_SZ, {'a', 0, 'b', 0, 'c', 0}, {0, 0}, {'a', 0, 'b', 0, 'c', 0, 0, 0}},
    {"expandable text",
     REG_EXPAND_SZ,
     {'%', 0, 'X', 0, '%', 0},
     {0, 0},
     {'%', 0, 'X', 0, '%', 0, 0, 0}},
    {"multi-string", REG_MULTI_SZ, {'a', 0, 0, 0, 'b', 0}, {0, 0}, {'a', 0, 0, 0, 'b', 0, 0, 0}},
    {"a single character", REG_SZ, {'a', 0}, {0, 0, 0, 0}, {'a', 0, 0, 0}},
    {"already terminated", REG_SZ, {'a', 0, 0, 0}, {0, 0}, {'a', 0, 0, 0}},
    {"multi-string already terminated", REG_MULTI_SZ, {'a', 0, 0, 0}, {0, 0}, {'a', 0, 0, 0}},
    {"text followed by text", REG_SZ, {'a', 0}, {'b', 0}, {'a', 0}},
    {"a half NUL after", REG_SZ, {'a', 0}, {0, 'b'}, {'a', 0}},
    {"odd count, NUL unit across the end", REG_SZ, {'a', 0, 0}, {0, 'z'}, {'a', 0, 0, 0, 'z'}},
    {"odd count, unit across the end not NUL", REG_SZ, {'a', 0, 'b'}, {0, 0}, {'a', 0, 'b'}},
    {"binary", REG_BINARY, {'a', 0, 'b', 0}, {0, 0}, {'a', 0, 'b', 0}},
    {"dword", REG_DWORD, {1, 0, 2, 0}, {0, 0}, {1, 0, 2, 0}},
    {"empty text", REG_SZ, {}, {0, 0}, {}},
};

TEST_P(RegistryTest, TextSetWithoutItsTerminatorKeepsTheNulAfterIt) {
    RegKey key = Create(u"Terminator");
    for (const auto& value : kTerminator) {
        SCOPED_TRACE(value.what);
        ASSERT_EQ(Set(key.Get(), u"v", value.type, value.counted, value.after), ERROR_SUCCESS);
        Stored stored = Query(key.Get(), u"v");
        ASSERT_EQ(stored.status, ERROR_SUCCESS);
        EXPECT_EQ(stored.type, value.type);
        EXPECT_EQ(stored.bytes, value.stored);
        if (value.stored.size() == value.counted.size()) continue;
        // A caller that sizes its buffer by what it wrote is told the value has grown.
        Bytes buffer(value.counted.size() + 8, 0xCC);
        DWORD size = static_cast<DWORD>(value.counted.size());
        EXPECT_EQ(
            RegQueryValueExW(key.Get(), Win32Str(u"v"), nullptr, nullptr, buffer.data(), &size),
            ERROR_MORE_DATA);
        EXPECT_EQ(size, value.stored.size());
    }

    // The mistake as it is usually made: a whole string written with its length in bytes.
    const std::u16string text = u"fifteen letters";
    ASSERT_EQ(RegSetValueExW(key.Get(), Win32Str(u"text"), 0, REG_SZ,
                             reinterpret_cast<const BYTE*>(text.c_str()),
                             static_cast<DWORD>(text.size() * 2)),
              ERROR_SUCCESS);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExW(key.Get(), Win32Str(u"text"), nullptr, nullptr, nullptr, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(size, 32u);
}

TEST_P(RegistryTest, SettingReplacesWhateverWasThere) {
    RegKey key = Create(u"Replace");
    ASSERT_EQ(Set(key.Get(), u"v", REG_SZ, TextBytes(u"a longer piece of text")), ERROR_SUCCESS);
    ASSERT_EQ(SetDword(key.Get(), u"v", 3), ERROR_SUCCESS);
    Stored stored = Query(key.Get(), u"v");
    EXPECT_EQ(stored.type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(stored.bytes, (Bytes{3, 0, 0, 0}));
    ASSERT_EQ(Set(key.Get(), u"v", REG_BINARY, {}), ERROR_SUCCESS);
    stored = Query(key.Get(), u"v");
    EXPECT_EQ(stored.type, static_cast<DWORD>(REG_BINARY));
    EXPECT_TRUE(stored.bytes.empty());
    EXPECT_EQ(ValueNames(key.Get()).size(), 1u);
}

TEST_P(RegistryTest, DeletingValues) {
    RegKey key = Create(u"DeleteValue");
    ASSERT_EQ(SetDword(key.Get(), u"gone", 1), ERROR_SUCCESS);
    ASSERT_EQ(SetDword(key.Get(), u"kept", 2), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueW(key.Get(), Win32Str(u"GONE")), ERROR_SUCCESS);
    EXPECT_EQ(Query(key.Get(), u"gone").status, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteValueW(key.Get(), Win32Str(u"gone")), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(ValueNames(key.Get()), std::vector<std::u16string>{u"kept"});
}

TEST_P(RegistryTest, DeletingKeys) {
    RegKey parent = Create(u"DeleteKey");
    {
        RegKey leaf = Create(u"DeleteKey\\Leaf");
        ASSERT_EQ(SetDword(leaf.Get(), u"v", 1), ERROR_SUCCESS);
        RegKey inner = Create(u"DeleteKey\\Branch\\Inner");
    }
    EXPECT_EQ(RegDeleteKeyW(parent.Get(), Win32Str(u"LEAF")), ERROR_SUCCESS);
    EXPECT_FALSE(Exists(u"DeleteKey\\Leaf"));
    EXPECT_EQ(RegDeleteKeyW(parent.Get(), Win32Str(u"Leaf")), ERROR_FILE_NOT_FOUND);

    // A key with sub-keys is refused, and nothing of it goes.
    EXPECT_EQ(RegDeleteKeyW(parent.Get(), Win32Str(u"Branch")), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(Exists(u"DeleteKey\\Branch\\Inner"));
    EXPECT_EQ(RegDeleteKeyW(parent.Get(), Win32Str(u"Branch\\Inner")), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyW(parent.Get(), Win32Str(u"Branch")), ERROR_SUCCESS);
    EXPECT_TRUE(SubKeys(parent.Get()).empty());

    // The values went with the key: a new key of that name starts empty.
    RegKey again = Create(u"DeleteKey\\Leaf");
    EXPECT_TRUE(ValueNames(again.Get()).empty());
}

TEST_P(RegistryTest, SubKeysEnumerateInNameOrder) {
    RegKey parent = Create(u"EnumKeys");
    for (const char16_t* name : {u"b", u"A", u"c", u"Ab"}) {
        RegKey child;
        ASSERT_EQ(RegCreateKeyExW(parent.Get(), Win32Str(name), 0, nullptr, 0, KEY_ALL_ACCESS,
                                  nullptr, child.Receive(), nullptr),
                  ERROR_SUCCESS);
    }
    const std::vector<std::u16string> expected{u"A", u"Ab", u"b", u"c"};
    EXPECT_EQ(SubKeys(parent.Get()), expected);
    EXPECT_EQ(SubKeys(parent.Get()), expected) << "the order is stable";

    char16_t name[8];
    DWORD length = 2;  // "Ab" needs room for its terminator too
    EXPECT_EQ(
        RegEnumKeyExW(parent.Get(), 1, Win32Str(name), &length, nullptr, nullptr, nullptr, nullptr),
        ERROR_MORE_DATA);
    length = 3;
    EXPECT_EQ(
        RegEnumKeyExW(parent.Get(), 1, Win32Str(name), &length, nullptr, nullptr, nullptr, nullptr),
        ERROR_SUCCESS);
    EXPECT_EQ(length, 2u);
    EXPECT_EQ(std::u16string(name), u"Ab");
    length = 8;
    EXPECT_EQ(
        RegEnumKeyExW(parent.Get(), 4, Win32Str(name), &length, nullptr, nullptr, nullptr, nullptr),
        ERROR_NO_MORE_ITEMS);
}

// Values list in name order without regard to case, as sub-keys do.
TEST_P(RegistryTest, ValuesEnumerateInNameOrder) {
    RegKey key = Create(u"EnumValues");
    for (const char16_t* name : {u"zeta", u"alpha", u"mid", u"Beta"})
        ASSERT_EQ(Set(key.Get(), name, REG_SZ, TextBytes(name)), ERROR_SUCCESS);
    ASSERT_EQ(SetDword(key.Get(), u"alpha", 9), ERROR_SUCCESS);  // replaced, name kept
    EXPECT_EQ(ValueNames(key.Get()),
              (std::vector<std::u16string>{u"alpha", u"Beta", u"mid", u"zeta"}));

    char16_t name[16];
    DWORD length = 16;
    DWORD type = 0;
    BYTE data[16];
    DWORD size = sizeof data;
    ASSERT_EQ(RegEnumValueW(key.Get(), 0, Win32Str(name), &length, nullptr, &type, data, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(std::u16string(name, length), u"alpha");
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(Bytes(data, data + size), (Bytes{9, 0, 0, 0}));

    length = 5;  // "alpha" without room for the terminator
    EXPECT_EQ(
        RegEnumValueW(key.Get(), 0, Win32Str(name), &length, nullptr, nullptr, nullptr, nullptr),
        ERROR_MORE_DATA);

    length = 16;
    size = 3;  // "zeta" as text is 8 bytes
    EXPECT_EQ(RegEnumValueW(key.Get(), 3, Win32Str(name), &length, nullptr, nullptr, data, &size),
              ERROR_MORE_DATA);
    EXPECT_EQ(size, 8u);

    length = 16;
    EXPECT_EQ(
        RegEnumValueW(key.Get(), 4, Win32Str(name), &length, nullptr, nullptr, nullptr, nullptr),
        ERROR_NO_MORE_ITEMS);
}

// A name buffer without room still gets the type and the data's size reported, so that a caller
// can size both buffers before asking again; the name, its length and the data are left alone.
TEST_P(RegistryTest, EnumeratingIntoATooSmallNameBufferStillReportsTypeAndSize) {
    struct Row {
        const char16_t* name;
        DWORD type;
        Bytes bytes;
    };
    Bytes blob(300);
    for (std::size_t i = 0; i < blob.size(); ++i) blob[i] = static_cast<BYTE>(i);
    const Row rows[] = {
        {u"text", REG_SZ, TextBytes(u"seven!!")},
        {u"number", REG_DWORD, {1, 0, 0, 0}},
        {u"blob", REG_BINARY, blob},
        {u"nothing", REG_NONE, {}},
    };
    for (const Row& row : rows) {
        const std::u16string name(row.name);
        SCOPED_TRACE(std::string(name.begin(), name.end()));
        // One value to a key, so that index 0 is this value whatever the order of enumeration.
        RegKey key = Create(u"EnumShortName\\" + name);
        ASSERT_EQ(Set(key.Get(), row.name, row.type, row.bytes), ERROR_SUCCESS);

        for (const bool withData : {true, false}) {
            SCOPED_TRACE(withData ? "with a data buffer" : "size only");
            char16_t nameBuffer[16];
            std::fill(std::begin(nameBuffer), std::end(nameBuffer), u'x');
            Bytes data(512, 0xCC);
            const DWORD shortLength = static_cast<DWORD>(name.size());  // no room for the NUL
            DWORD length = shortLength;
            DWORD type = 0xDEAD;
            DWORD size = static_cast<DWORD>(data.size());
            EXPECT_EQ(RegEnumValueW(key.Get(), 0, Win32Str(nameBuffer), &length, nullptr, &type,
                                    withData ? data.data() : nullptr, &size),
                      ERROR_MORE_DATA);
            EXPECT_EQ(type, row.type);
            EXPECT_EQ(size, row.bytes.size());
            EXPECT_EQ(length, shortLength);
            EXPECT_EQ(std::u16string(nameBuffer, std::size(nameBuffer)), std::u16string(16, u'x'));
            EXPECT_EQ(data, Bytes(512, 0xCC));
        }
    }
}

TEST_P(RegistryTest, AHandleAllowsOnlyWhatItWasOpenedFor) {
    RegKey writer = Create(u"Rights");
    ASSERT_EQ(SetDword(writer.Get(), u"v", 1), ERROR_SUCCESS);

    RegKey reader;
    ASSERT_EQ(Open(u"Rights", KEY_READ, &reader), ERROR_SUCCESS);
    EXPECT_EQ(SetDword(reader.Get(), u"v", 2), ERROR_ACCESS_DENIED);
    EXPECT_EQ(SetDword(reader.Get(), u"new", 2), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteValueW(reader.Get(), Win32Str(u"v")), ERROR_ACCESS_DENIED);
    EXPECT_EQ(Query(reader.Get(), u"v").bytes, (Bytes{1, 0, 0, 0}));
    EXPECT_EQ(ValueNames(reader.Get()), std::vector<std::u16string>{u"v"});

    RegKey setOnly;
    ASSERT_EQ(Open(u"Rights", KEY_SET_VALUE, &setOnly), ERROR_SUCCESS);
    EXPECT_EQ(Query(setOnly.Get(), u"v").status, ERROR_ACCESS_DENIED);
    EXPECT_EQ(SetDword(setOnly.Get(), u"v", 3), ERROR_SUCCESS);
    EXPECT_EQ(Query(reader.Get(), u"v").bytes, (Bytes{3, 0, 0, 0}));
}

TEST_P(RegistryTest, InvalidHandlesAreRefused) {
    HKEY closed = nullptr;
    {
        RegKey key = Create(u"Closed");
        ASSERT_EQ(RegOpenKeyExW(key.Get(), nullptr, 0, KEY_ALL_ACCESS, &closed), ERROR_SUCCESS);
        ASSERT_EQ(RegCloseKey(closed), ERROR_SUCCESS);
    }
    for (HKEY bad : {static_cast<HKEY>(nullptr), closed}) {
        SCOPED_TRACE(bad == nullptr ? "null" : "closed");
        DWORD size = 0;
        EXPECT_EQ(RegQueryValueExW(bad, Win32Str(u"v"), nullptr, nullptr, nullptr, &size),
                  ERROR_INVALID_HANDLE);
        EXPECT_EQ(SetDword(bad, u"v", 1), ERROR_INVALID_HANDLE);
        EXPECT_EQ(RegDeleteValueW(bad, Win32Str(u"v")), ERROR_INVALID_HANDLE);
        char16_t name[16];
        DWORD length = 16;
        EXPECT_EQ(
            RegEnumKeyExW(bad, 0, Win32Str(name), &length, nullptr, nullptr, nullptr, nullptr),
            ERROR_INVALID_HANDLE);
        length = 16;
        EXPECT_EQ(
            RegEnumValueW(bad, 0, Win32Str(name), &length, nullptr, nullptr, nullptr, nullptr),
            ERROR_INVALID_HANDLE);
        RegKey sub;
        EXPECT_EQ(RegOpenKeyExW(bad, Win32Str(u"x"), 0, KEY_READ, sub.Receive()),
                  ERROR_INVALID_HANDLE);
        EXPECT_EQ(RegCloseKey(bad), ERROR_INVALID_HANDLE);
    }
}

// 64-bit Windows knows a predefined key by the low 32 bits of its handle: the constant written
// without its sign extension, or with anything in the upper half, is the same key.
std::vector<HKEY> OtherSpellingsOf(HKEY root) {
    const auto low = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(root));
    std::vector<HKEY> spellings{reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(low))};
    if constexpr (sizeof(std::uintptr_t) == 8) {
        for (const std::uint64_t upper : {0x1ull, 0x12345678ull, 0xFFFFFFFEull})
            spellings.push_back(
                reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(upper << 32 | low)));
    }
    return spellings;
}

TEST_P(RegistryTest, PredefinedKeysAreKnownByTheLowHalfOfTheHandle) {
    const std::u16string path = PathOf(u"LowHalf");
    for (const HKEY spelling : OtherSpellingsOf(Root())) {
        SCOPED_TRACE(testing::Message() << "handle " << spelling);
        RegKey created;
        ASSERT_EQ(RegCreateKeyExW(spelling, Win32Str(path.c_str()), 0, nullptr, 0, KEY_ALL_ACCESS,
                                  nullptr, created.Receive(), nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(SetDword(created.Get(), u"v", 11), ERROR_SUCCESS);

        RegKey opened;
        ASSERT_EQ(RegOpenKeyExW(spelling, Win32Str(path.c_str()), 0, KEY_READ, opened.Receive()),
                  ERROR_SUCCESS);
        EXPECT_EQ(Query(opened.Get(), u"v").bytes, (Bytes{11, 0, 0, 0}));
        EXPECT_EQ(Query(created.Get(), u"v").bytes, Query(opened.Get(), u"v").bytes);

        // Calls on the predefined key itself (reads only: tests write below their own root).
        DWORD size = 0;
        EXPECT_EQ(RegQueryValueExW(spelling, Win32Str(u"QelConfigTestsNoSuchValue"), nullptr,
                                   nullptr, nullptr, &size),
                  ERROR_FILE_NOT_FOUND);
        char16_t viaSpelling[256];
        char16_t viaConstant[256];
        DWORD spellingLength = 256;
        DWORD constantLength = 256;
        ASSERT_EQ(RegEnumKeyExW(spelling, 0, Win32Str(viaSpelling), &spellingLength, nullptr,
                                nullptr, nullptr, nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(RegEnumKeyExW(Root(), 0, Win32Str(viaConstant), &constantLength, nullptr, nullptr,
                                nullptr, nullptr),
                  ERROR_SUCCESS);
        EXPECT_EQ(std::u16string(viaSpelling, spellingLength),
                  std::u16string(viaConstant, constantLength));

        EXPECT_EQ(RegDeleteKeyW(spelling, Win32Str(path.c_str())), ERROR_SUCCESS);
        EXPECT_FALSE(Exists(u"LowHalf"));
    }
}

// A sub-key path is relative to the key it is given with; a leading backslash is not ignored
// (a run of them inside a path is still one separator).
TEST_P(RegistryTest, ASubKeyPathStartingWithABackslashIsRefused) {
    RegKey base = Create(u"Leading");
    RegKey existing = Create(u"Leading\\Existing");
    struct Row {
        HKEY parent;
        std::u16string path;
    };
    const Row rows[] = {
        {base.Get(), u"\\Child"},
        {base.Get(), u"\\\\Child"},
        {base.Get(), u"\\Child\\Grandchild"},
        {base.Get(), u"\\Existing"},
        {Root(), u"\\" + PathOf(u"Leading\\FromRoot")},
        {Root(), u"\\" + PathOf(u"Leading\\Existing")},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.path.begin(), row.path.end()));
        RegKey opened;
        EXPECT_EQ(
            RegOpenKeyExW(row.parent, Win32Str(row.path.c_str()), 0, KEY_READ, opened.Receive()),
            ERROR_BAD_PATHNAME);
        EXPECT_EQ(opened.Get(), nullptr);
        RegKey created;
        DWORD disposition = 0;
        EXPECT_EQ(RegCreateKeyExW(row.parent, Win32Str(row.path.c_str()), 0, nullptr, 0,
                                  KEY_ALL_ACCESS, nullptr, created.Receive(), &disposition),
                  ERROR_BAD_PATHNAME);
        EXPECT_EQ(created.Get(), nullptr);
        EXPECT_EQ(disposition, 0u);
        // Deleting opens the key by the same rule.
        EXPECT_EQ(RegDeleteKeyW(row.parent, Win32Str(row.path.c_str())), ERROR_BAD_PATHNAME);
    }
    // Nothing was made or deleted, anywhere; the path without its leading backslash still works.
    EXPECT_EQ(SubKeys(base.Get()), std::vector<std::u16string>{u"Existing"});
    EXPECT_FALSE(Exists(u"FromRoot"));
    EXPECT_FALSE(Exists(u"Child"));
    RegKey plain;
    EXPECT_EQ(Open(u"Leading\\Existing", KEY_READ, &plain), ERROR_SUCCESS);
}

TEST_P(RegistryTest, AHandleToADeletedKeyReportsIt) {
    RegKey parent = Create(u"Deleted");
    RegKey doomed = Create(u"Deleted\\Doomed");
    ASSERT_EQ(SetDword(doomed.Get(), u"v", 1), ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteKeyW(parent.Get(), Win32Str(u"Doomed")), ERROR_SUCCESS);

    auto expectDeleted = [](HKEY key) {
        DWORD size = 0;
        EXPECT_EQ(RegQueryValueExW(key, Win32Str(u"v"), nullptr, nullptr, nullptr, &size),
                  ERROR_KEY_DELETED);
        EXPECT_EQ(SetDword(key, u"v", 2), ERROR_KEY_DELETED);
        char16_t name[16];
        DWORD length = 16;
        EXPECT_EQ(
            RegEnumKeyExW(key, 0, Win32Str(name), &length, nullptr, nullptr, nullptr, nullptr),
            ERROR_KEY_DELETED);
        length = 16;
        EXPECT_EQ(
            RegEnumValueW(key, 0, Win32Str(name), &length, nullptr, nullptr, nullptr, nullptr),
            ERROR_KEY_DELETED);
        RegKey child;
        EXPECT_EQ(RegCreateKeyExW(key, Win32Str(u"Child"), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                  child.Receive(), nullptr),
                  ERROR_KEY_DELETED);
    };
    expectDeleted(doomed.Get());

    // A new key of the same name is another key: the old handle stays dead, the new key empty.
    RegKey reborn = Create(u"Deleted\\Doomed");
    expectDeleted(doomed.Get());
    EXPECT_TRUE(ValueNames(reborn.Get()).empty());
    EXPECT_TRUE(SubKeys(reborn.Get()).empty());
}

TEST_P(RegistryTest, ReadOnlyHivesRefuseEveryWrite) {
    if (!qeltest::HiveSandbox::CanRefuseWrites())
        GTEST_SKIP() << "this registry cannot be made to refuse writes to an administrator";
    {
        RegKey key = Create(u"ReadOnly\\Existing");
        ASSERT_EQ(SetDword(key.Get(), u"v", 1), ERROR_SUCCESS);
    }
    RegKey openedBefore = Create(u"ReadOnly\\Existing");
    const bool user = Root() == HKEY_CURRENT_USER;
    ASSERT_TRUE(m_sandbox.SetReadOnly(user, !user));

    // Reading goes on as before.
    RegKey reader;
    ASSERT_EQ(Open(u"ReadOnly\\Existing", KEY_READ, &reader), ERROR_SUCCESS);
    EXPECT_EQ(Query(reader.Get(), u"v").bytes, (Bytes{1, 0, 0, 0}));
    RegKey existing;
    EXPECT_EQ(RegCreateKeyExW(Root(), Win32Str(PathOf(u"ReadOnly\\Existing").c_str()), 0, nullptr,
                              0, KEY_READ, nullptr, existing.Receive(), nullptr),
              ERROR_SUCCESS);

    // Writing does not, whichever way it is tried.
    RegKey writer;
    EXPECT_EQ(Open(u"ReadOnly\\Existing", KEY_WRITE, &writer), ERROR_ACCESS_DENIED);
    RegKey created;
    EXPECT_EQ(RegCreateKeyExW(Root(), Win32Str(PathOf(u"ReadOnly\\New").c_str()), 0, nullptr, 0,
                              KEY_READ, nullptr, created.Receive(), nullptr),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(SetDword(openedBefore.Get(), u"v", 2), ERROR_ACCESS_DENIED);
    EXPECT_EQ(SetDword(openedBefore.Get(), u"other", 2), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteValueW(openedBefore.Get(), Win32Str(u"v")), ERROR_ACCESS_DENIED);
    const std::u16string existingPath = PathOf(u"ReadOnly\\Existing");
    EXPECT_EQ(RegDeleteKeyW(Root(), Win32Str(existingPath.c_str())), ERROR_ACCESS_DENIED);
    EXPECT_EQ(Query(reader.Get(), u"v").bytes, (Bytes{1, 0, 0, 0}));
    EXPECT_TRUE(Exists(u"ReadOnly\\Existing"));
    EXPECT_FALSE(Exists(u"ReadOnly\\New"));

    // The other hive is not affected; and lifting the switch lets writes through again.
    const HKEY other = user ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
    RegKey otherKey;
    const std::u16string otherPath = PathOf(u"ReadOnly\\Other");
    EXPECT_EQ(RegCreateKeyExW(other, Win32Str(otherPath.c_str()), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, otherKey.Receive(), nullptr),
              ERROR_SUCCESS);
    ASSERT_TRUE(m_sandbox.SetReadOnly(false, false));
    EXPECT_EQ(SetDword(openedBefore.Get(), u"v", 3), ERROR_SUCCESS);
    EXPECT_EQ(Query(reader.Get(), u"v").bytes, (Bytes{3, 0, 0, 0}));
}

INSTANTIATE_TEST_SUITE_P(Hives, RegistryTest,
                         ::testing::Values(HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE),
                         [](const ::testing::TestParamInfo<HKEY>& param) {
                             return param.param == HKEY_CURRENT_USER ? "CurrentUser"
                                                                     : "LocalMachine";
                         });

TEST(RegistryHivesTest, TheTwoHivesAreSeparate) {
    qeltest::HiveSandbox sandbox;
    const std::u16string path = std::u16string(qeltest::kTestRoot) + u"\\Separate";
    RegKey user;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, Win32Str(path.c_str()), 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, user.Receive(), nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(SetDword(user.Get(), u"only-here", 1), ERROR_SUCCESS);
    RegKey machine;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, Win32Str(path.c_str()), 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, machine.Receive(), nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(Query(machine.Get(), u"only-here").status, ERROR_FILE_NOT_FOUND);
}

}  // namespace
