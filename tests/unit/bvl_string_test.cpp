#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "platform/bstr.h"
#include "support/bvl_string.h"
#include "support/bvl_string_rep.h"
#include "support/hresult.h"
#include "support/ibvl_string.h"

using BVL::String;
using vyra::plat::Bstr;
using vyra::plat::kVariantFalse;
using vyra::plat::kVariantTrue;
using vyra::plat::VariantBool;

namespace BVL {
void PrintTo(const String& s, std::ostream* os) {
  std::string narrow;
  for (char16_t c : s.View()) narrow += c < 0x80 ? static_cast<char>(c) : '?';
  *os << '"' << narrow << '"';
}
}  // namespace BVL

namespace {

int32_t WordBeforeText(const String& s, int wordsBack) {
  int32_t v;
  std::memcpy(&v, reinterpret_cast<const char*>(s.c_str()) - 4 * wordsBack, sizeof v);
  return v;
}

// Every operation refused; the test objects below override what they need. No data
// members, so a derived class decides its own layout.
struct StubString : IBVLString {
  vyra::ComResult VYRA_COM QueryInterface(const vyra::Guid&, void** out) override {
    *out = nullptr;
    return vyra::kE_NOINTERFACE;
  }
  uint32_t VYRA_COM AddRef() override { return 2; }
  uint32_t VYRA_COM Release() override { return 1; }
  vyra::ComResult VYRA_COM AssignBstr(Bstr) override { return vyra::kE_FAIL; }
  vyra::ComResult VYRA_COM GetBstr(Bstr*) override { return vyra::kE_FAIL; }
  vyra::ComResult VYRA_COM IsEmpty(VariantBool*) override { return vyra::kE_FAIL; }
  vyra::ComResult VYRA_COM GetLength(int32_t*) override { return vyra::kE_FAIL; }
  vyra::ComResult VYRA_COM IsEqual(IBVLString*, VariantBool*) override { return vyra::kE_FAIL; }
  vyra::ComResult VYRA_COM IsShared(VariantBool*) override { return vyra::kE_FAIL; }
  int32_t VYRA_COM ImplementationTag() override { return 4; }
  vyra::ComResult VYRA_COM CopyTo(int32_t, void*) override { return vyra::kE_FAIL; }
  vyra::ComResult VYRA_COM GetSize(int32_t*, int32_t*) override { return vyra::kE_FAIL; }
  vyra::ComResult VYRA_COM GetCapacity(int32_t*) override { return vyra::kE_FAIL; }
  vyra::ComResult VYRA_COM CreateEmpty(int32_t, IBVLString**) override { return vyra::kE_FAIL; }
  vyra::ComResult VYRA_COM GetVariant(vyra::plat::Variant*) override { return vyra::kE_FAIL; }
  int32_t VYRA_COM Length() override { return 0; }
  void VYRA_COM Destroy() override {}
  int32_t VYRA_COM Reserved() override { return 0; }
  char16_t* VYRA_COM GetText() override { return nullptr; }
  void* VYRA_COM DeletingDestructor(uint32_t) override { return this; }
};

// A string object from "another module" with its own layout; unit size chosen by the test.
class ForeignString : public StubString {
 public:
  ForeignString(std::string bytes, int unitSize) : bytes_(std::move(bytes)), unitSize_(unitSize) {}
  int refs = 1;
  int released = 0;
  bool returnEmptyBstr = false;

  uint32_t VYRA_COM Release() override {
    ++released;
    return static_cast<uint32_t>(--refs);
  }
  vyra::ComResult VYRA_COM GetBstr(Bstr* out) override {
    vyra::plat::FreeBstr(*out);
    *out = nullptr;
    if (unitSize_ == 2 && !bytes_.empty())
      *out = vyra::plat::AllocBstr(reinterpret_cast<const char16_t*>(bytes_.data()),
                                   static_cast<uint32_t>(bytes_.size() / 2));
    if (unitSize_ == 2 && returnEmptyBstr) *out = vyra::plat::AllocBstr(nullptr, 0);
    return vyra::kS_OK;
  }
  vyra::ComResult VYRA_COM CopyTo(int32_t size, void* dest) override {
    int32_t need = static_cast<int32_t>(bytes_.size()) + unitSize_;
    if (size < need) return vyra::kE_FAIL;
    std::memcpy(dest, bytes_.data(), bytes_.size());
    std::memset(static_cast<char*>(dest) + bytes_.size(), 0, static_cast<size_t>(unitSize_));
    return vyra::kS_OK;
  }
  vyra::ComResult VYRA_COM GetSize(int32_t* length, int32_t* unitSize) override {
    *length = static_cast<int32_t>(bytes_.size()) / unitSize_;
    *unitSize = unitSize_;
    return vyra::kS_OK;
  }

 private:
  std::string bytes_;
  int unitSize_;
};

// A block with our layout made by another module: tag 9 but not our operation table.
struct ForeignLayoutBlock : StubString {
  char* narrowCopy = nullptr;
  int32_t narrowValid = 0;
  std::atomic<int32_t> refCount{1};
  int32_t capacity = 8;
  int32_t length = 4;
  char16_t text[8] = {u'a', u'b', u'c', 0};
  int destroyed = 0;
  int32_t VYRA_COM ImplementationTag() override { return kNativeTag; }
  void VYRA_COM Destroy() override { ++destroyed; }
};

std::string Utf16Bytes(std::u16string_view s) {
  return std::string(reinterpret_cast<const char*>(s.data()), s.size() * 2);
}

}  // namespace

TEST(BvlStringLayout, CountersSitDirectlyBeforeText) {
  String s(u"abcdefghij");
  String shared = s;
  EXPECT_EQ(WordBeforeText(s, 1), 11);  // length, terminator included
  EXPECT_EQ(WordBeforeText(s, 2), 11);  // capacity
  EXPECT_EQ(WordBeforeText(s, 3), 2);   // refCount
  EXPECT_EQ(reinterpret_cast<const char*>(s.c_str()) - reinterpret_cast<const char*>(s.Rep()),
            static_cast<std::ptrdiff_t>(BVLString::StringRepBase::kTextOffset));
  EXPECT_EQ(s.Rep()->GetText(), s.c_str());
}

TEST(BvlStringLayout, ForeignLayoutBlockIsAdoptedButCopiedBeforeAChange) {
  ForeignLayoutBlock block;
  ASSERT_EQ(reinterpret_cast<char*>(block.text) - reinterpret_cast<char*>(static_cast<IBVLString*>(&block)),
            static_cast<std::ptrdiff_t>(BVLString::StringRepBase::kTextOffset));
  {
    String s = String::Adopt(&block);
    EXPECT_EQ(s.c_str(), block.text);  // taken over, not copied
    EXPECT_EQ(s, String(u"abc"));
    s += u'd';  // must not write into the other module's block
    EXPECT_EQ(s, String(u"abcd"));
    EXPECT_EQ(std::u16string(block.text), u"abc");
    EXPECT_EQ(block.destroyed, 1);  // our copy gave back its only reference
  }
  EXPECT_EQ(block.destroyed, 1);
}

TEST(BvlStringEmpty, EveryEmptyFormSharesOneBlock) {
  String a;
  String b(u"");
  String c(static_cast<const char16_t*>(nullptr));
  String d("");
  String e(static_cast<const char*>(nullptr), 4);
  String f("abc", 0);
  String g(u"xyz", size_t{0});
  for (const String* s : {&b, &c, &d, &e, &f, &g}) {
    EXPECT_TRUE(s->SharesBlockWith(a));
    EXPECT_EQ(s->Length(), 0);
  }
  EXPECT_EQ(a.Capacity(), 9);
  VariantBool empty = kVariantFalse;
  EXPECT_EQ(a.Rep()->IsEmpty(&empty), vyra::kS_OK);
  EXPECT_EQ(empty, kVariantTrue);
  EXPECT_EQ(a.Rep()->Length(), 0);
}

TEST(BvlStringEmpty, ChangingAnEmptyStringNeverTouchesTheSharedBlock) {
  String a, b;
  a += u'x';
  b.GetBuffer(3)[0] = u'q';
  b.SetLength(2);
  String c;
  EXPECT_EQ(c.Length(), 0);
  EXPECT_EQ(c.c_str()[0], 0);
  EXPECT_EQ(a, String(u"x"));
  EXPECT_EQ(b, String(u"q"));
  EXPECT_EQ(String().NarrowText(), std::string());
}

TEST(BvlStringConstruct, CapacityFollowsLength) {
  struct Case {
    std::u16string text;
    int capacity;
  } cases[] = {{u"a", 8}, {u"abcdefg", 8}, {u"abcdefgh", 9}, {std::u16string(40, u'z'), 41}};
  for (const auto& c : cases) {
    String s(c.text.c_str());
    EXPECT_EQ(s.Length(), static_cast<int>(c.text.size()));
    EXPECT_EQ(s.Capacity(), c.capacity) << c.text.size();
    EXPECT_EQ(s.View(), c.text);
  }
}

TEST(BvlStringConstruct, ByteLimitedNarrowText) {
  String abc("ABCDE", 3);
  EXPECT_EQ(abc, String(u"ABC"));
  EXPECT_EQ(abc.Capacity(), 8);
  EXPECT_EQ(String("AB\0CD", 5), String(u"AB"));   // stops at NUL
  EXPECT_EQ(String("ABCDEFGHIJ", 10).Capacity(), 11);
  try {
    String bad("ABCDE", -1);
    FAIL() << "no exception";
  } catch (const BVL::xmsg& e) {
    EXPECT_STREQ(e.what(), "BVL::String size too big");
  }
}

TEST(BvlStringConstruct, MultiByteNarrowTextCountsUnitsNotBytes) {
  // "é" is two bytes in the ANSI (UTF-8) code page here but one unit.
  String s("caf\xC3\xA9!", 6);
  EXPECT_EQ(s.View(), u"café!");
  EXPECT_EQ(s.Length(), 5);
  EXPECT_EQ(s.c_str()[5], 0);
}

TEST(BvlStringShare, CopiesShareAndChangesCopyOnWrite) {
  String a(u"abc");
  String b = a;
  EXPECT_TRUE(b.SharesBlockWith(a));
  EXPECT_EQ(a.RefCount(), 2);
  VariantBool shared = kVariantFalse;
  a.Rep()->IsShared(&shared);
  EXPECT_EQ(shared, kVariantTrue);

  b += u"d";
  EXPECT_EQ(a, String(u"abc"));
  EXPECT_EQ(b, String(u"abcd"));
  EXPECT_EQ(a.RefCount(), 1);
  EXPECT_EQ(b.RefCount(), 1);

  String c = a;
  c.ToLower();
  c = a;
  c.Erase(0, 1);
  EXPECT_EQ(a, String(u"abc"));
  EXPECT_EQ(c, String(u"bc"));

  String d = a;
  d = d;  // self-assignment keeps the block alive
  EXPECT_EQ(d, String(u"abc"));
  EXPECT_EQ(a.RefCount(), 2);
}

TEST(BvlStringGrowth, AppendGrowsByHalfAndReserveExactly) {
  String s(u"abcdefg");
  ASSERT_EQ(s.Capacity(), 8);
  s += u'h';  // 9 needed
  EXPECT_EQ(s.Capacity(), 13);
  EXPECT_EQ(s, String(u"abcdefgh"));

  String t(u"abcdefg");
  t += String(u"xy");  // 10 needed
  EXPECT_EQ(t.Capacity(), 15);
  t += u"z";  // fits: no growth
  EXPECT_EQ(t.Capacity(), 15);
  EXPECT_EQ(t, String(u"abcdefgxyz"));

  String r(u"abcdefg");
  r.Replace(1, 0, String(u"XY"));  // replace grows to exactly what it needs
  EXPECT_EQ(r.Capacity(), 10);
  EXPECT_EQ(r, String(u"aXYbcdefg"));

  String v(u"abcdef");
  v.Reserve(3);  // shrinks to the minimum block, keeps what fits
  EXPECT_EQ(v.Capacity(), 8);
  EXPECT_EQ(v, String(u"ab"));
  v.Reserve(20);
  EXPECT_EQ(v.Capacity(), 20);
  EXPECT_EQ(v, String(u"ab"));
}

TEST(BvlStringEdit, AppendingItself) {
  String s(u"abc");
  s += s;
  EXPECT_EQ(s, String(u"abcabc"));
  s += s.c_str() + 4;  // a literal that lives inside the string itself
  EXPECT_EQ(s, String(u"abcabcbc"));
  s.Replace(0, 1, s);
  EXPECT_EQ(s, String(u"abcabcbcbcabcbc"));
}

TEST(BvlStringEdit, EraseRanges) {
  struct Case {
    int from, to;
    std::u16string expect;
  } cases[] = {
      {1, 3, u"adef"}, {0, 6, u""}, {3, 99, u"abc"}, {4, 2, u"abcdef"},
      {-5, 2, u"cdef"}, {5, 6, u"abcde"}, {7, 9, u"abcdef"},
  };
  for (const auto& c : cases) {
    String s(u"abcdef");
    int32_t capacity = s.Capacity();
    s.Erase(c.from, c.to);
    EXPECT_EQ(s.View(), c.expect) << c.from << ".." << c.to;
    EXPECT_EQ(s.c_str()[s.Length()], 0);
    EXPECT_EQ(s.Capacity(), capacity);
  }
}

TEST(BvlStringEdit, ReplaceRanges) {
  struct Case {
    int pos, count;
    std::u16string with, expect;
  } cases[] = {
      {1, 2, u"XY", u"aXYdef"}, {0, 0, u">", u">abcdef"}, {6, 3, u"!!", u"abcdef!!"},
      {4, 99, u"Z", u"abcdZ"},   {2, 1, u"", u"abdef"},   {99, 1, u"?", u"abcdef?"},
  };
  for (const auto& c : cases) {
    String s(u"abcdef");
    s.Replace(c.pos, c.count, String(c.with.c_str()));
    EXPECT_EQ(s.View(), c.expect) << c.pos << "," << c.count;
  }
}

TEST(BvlStringEdit, ToLowerAndComparisons) {
  String s(u"MmHG Ab");
  s.ToLower();
  EXPECT_EQ(s, String(u"mmhg ab"));
  EXPECT_TRUE(String(u"abc") < String(u"abd"));
  EXPECT_TRUE(String(u"ab") < String(u"abc"));
  EXPECT_FALSE(String(u"abc") < String(u"abc"));
  EXPECT_TRUE(String(u"B") < String(u"a"));  // ordinal, not collated
  EXPECT_NE(String(u"abc"), String(u"abC"));
  EXPECT_TRUE(String() == String(u""));
}

TEST(BvlStringBuffer, GetBufferThenSetLength) {
  String s(u"old text here");
  char16_t* p = s.GetBuffer(5);
  EXPECT_EQ(s.Length(), 0);
  std::memcpy(p, u"hello", 10);
  s.SetLength(6);
  EXPECT_EQ(s, String(u"hello"));
  EXPECT_EQ(s.GetBuffer(3), p);  // unique and large enough: reused
  std::memcpy(p, u"abc", 6);
  s.SetLength(4);

  String shared = s;
  char16_t* q = s.GetBuffer(3);
  EXPECT_NE(q, p);  // never writes into a block another string holds
  EXPECT_EQ(shared, String(u"abc"));

  String big;
  big.GetBuffer(20);
  big.SetLength(1000);  // never beyond the capacity
  EXPECT_EQ(big.Length(), big.Capacity() - 1);
  EXPECT_EQ(big.c_str()[big.Length()], 0);
}

TEST(BvlStringNarrow, CachedUntilChanged) {
  String s(u"Pa\u00e9");
  const char* first = s.NarrowText();
  EXPECT_STREQ(first, "Pa\xC3\xA9");
  EXPECT_EQ(s.NarrowText(), first);  // same copy, no second conversion
  s += u'!';
  EXPECT_STREQ(s.NarrowText(), "Pa\xC3\xA9!");

  String a(u"shared");
  String b = a;
  EXPECT_STREQ(b.NarrowText(), "shared");
  EXPECT_FALSE(b.SharesBlockWith(a));  // the cache of a shared block is never written
  EXPECT_EQ(a.RefCount(), 1);
}

TEST(BvlStringInterface, QueryInterface) {
  String s(u"x");
  IBVLString* rep = s.Rep();
  const vyra::Guid other = {0x12345678, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};
  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(rep->QueryInterface(other, &out), vyra::kE_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(s.RefCount(), 1);
  for (const vyra::Guid& iid : {vyra::kIID_IUnknown, IID_IBVLString, IID_IAutoBVLString}) {
    out = nullptr;
    EXPECT_EQ(rep->QueryInterface(iid, &out), vyra::kS_OK);
    EXPECT_EQ(out, rep);
    EXPECT_EQ(s.RefCount(), 2);
    rep->Release();
  }
  EXPECT_EQ(rep->QueryInterface(IID_IBVLString, nullptr), vyra::kE_POINTER);
}

TEST(BvlStringInterface, CopyToNeedsRoomForTheTerminator) {
  String s(u"abc");
  char16_t dest[6];
  std::fill(std::begin(dest), std::end(dest), u'#');
  EXPECT_EQ(s.Rep()->CopyTo(7, dest), vyra::kE_FAIL);
  EXPECT_EQ(dest[0], u'#');
  EXPECT_EQ(s.Rep()->CopyTo(8, dest), vyra::kS_OK);
  EXPECT_EQ(std::u16string(dest), u"abc");
  EXPECT_EQ(dest[4], u'#');
}

TEST(BvlStringInterface, SizesAndCreateEmpty) {
  String s(u"abcdefgh");
  int32_t length = -1, unit = -1, capacity = -1;
  EXPECT_EQ(s.Rep()->GetSize(&length, &unit), vyra::kS_OK);
  EXPECT_EQ(length, 8);
  EXPECT_EQ(unit, 2);
  s.Rep()->GetCapacity(&capacity);
  EXPECT_EQ(capacity, 8);
  s.Rep()->GetLength(&length);
  EXPECT_EQ(length, 8);
  EXPECT_EQ(s.Rep()->ImplementationTag(), 9);
  EXPECT_EQ(s.Rep()->Reserved(), 0);

  IBVLString* made = nullptr;
  ASSERT_EQ(s.Rep()->CreateEmpty(20, &made), vyra::kS_OK);
  String adopted = String::Adopt(made);
  EXPECT_EQ(adopted.Capacity(), 21);
  EXPECT_EQ(adopted.RefCount(), 1);
  EXPECT_EQ(adopted.Length(), 0);
}

TEST(BvlStringInterface, BstrAndVariant) {
  String s(u"abc");
  Bstr b = vyra::plat::AllocBstr(u"old", 3);
  ASSERT_EQ(s.Rep()->GetBstr(&b), vyra::kS_OK);  // the old one is freed (ASan watches)
  ASSERT_EQ(vyra::plat::BstrLen(b), 3u);
  EXPECT_EQ(std::u16string(b), u"abc");

  String other = s;
  EXPECT_EQ(s.Rep()->AssignBstr(b), vyra::kE_FAIL);  // shared
  other = String();

  Bstr longer = vyra::plat::AllocBstr(u"12345678", 8);
  EXPECT_EQ(s.Rep()->AssignBstr(longer), vyra::kE_FAIL);  // does not fit capacity 8
  Bstr fits = vyra::plat::AllocBstr(u"1234567", 7);
  EXPECT_EQ(s.Rep()->AssignBstr(fits), vyra::kS_OK);
  EXPECT_EQ(s, String(u"1234567"));
  EXPECT_EQ(s.Rep()->AssignBstr(nullptr), vyra::kS_OK);
  EXPECT_EQ(s.Length(), 0);
  EXPECT_EQ(String().Rep()->GetBstr(&b), vyra::kS_OK);
  EXPECT_EQ(b, nullptr);
  EXPECT_EQ(s.Rep()->GetBstr(nullptr), vyra::kE_FAIL);
  vyra::plat::FreeBstr(longer);
  vyra::plat::FreeBstr(fits);

  vyra::plat::Variant v;
  String t(u"wave");
  ASSERT_EQ(t.Rep()->GetVariant(&v), vyra::kS_OK);
  EXPECT_EQ(v.vt, vyra::plat::kVtBstr);
  EXPECT_EQ(std::u16string(v.bstrVal, vyra::plat::BstrLen(v.bstrVal)), u"wave");
  vyra::plat::ClearVariant(&v);
  ASSERT_EQ(String().Rep()->GetVariant(&v), vyra::kS_OK);
  EXPECT_EQ(v.vt, vyra::plat::kVtBstr);
  EXPECT_EQ(v.bstrVal, nullptr);
}

TEST(BvlStringInterface, IsEqualAcrossImplementations) {
  String abc(u"abc");
  struct Case {
    std::u16string foreign;
    const char16_t* own;
    bool equal;
  } cases[] = {{u"abc", u"abc", true}, {u"abd", u"abc", false}, {u"ab", u"abc", false},
               {u"abcd", u"abc", false}, {u"", u"", true}, {u"x", u"", false}};
  for (const auto& c : cases) {
    ForeignString foreign(Utf16Bytes(c.foreign), 2);
    VariantBool equal = 7;
    String own(c.own);
    ASSERT_EQ(own.Rep()->IsEqual(&foreign, &equal), vyra::kS_OK);
    EXPECT_EQ(equal, c.equal ? kVariantTrue : kVariantFalse) << std::string(c.foreign.begin(), c.foreign.end());
  }
  ForeignString zeroLength({}, 2);
  zeroLength.returnEmptyBstr = true;  // an empty BSTR, not a null one
  VariantBool equal = kVariantFalse;
  String().Rep()->IsEqual(&zeroLength, &equal);
  EXPECT_EQ(equal, kVariantTrue);

  String same(u"abc");
  abc.Rep()->IsEqual(same.Rep(), &equal);
  EXPECT_EQ(equal, kVariantTrue);
  String(u"abx").Rep()->IsEqual(same.Rep(), &equal);
  EXPECT_EQ(equal, kVariantFalse);
}

TEST(BvlStringAdopt, NativeObjectIsTakenOverWithoutCopy) {
  String original(u"device");
  IBVLString* ref = original.NewReference();
  EXPECT_EQ(original.RefCount(), 2);
  String adopted = String::Adopt(ref);
  EXPECT_TRUE(adopted.SharesBlockWith(original));
  EXPECT_EQ(original.RefCount(), 2);  // the caller's reference was taken over, not added to
  EXPECT_TRUE(String::Adopt(nullptr).SharesBlockWith(String()));
}

TEST(BvlStringAdopt, ForeignObjectIsCopiedAndReleased) {
  ForeignString wide(Utf16Bytes(u"Gain 10"), 2);
  String a = String::Adopt(&wide);
  EXPECT_EQ(a, String(u"Gain 10"));
  EXPECT_EQ(wide.released, 1);
  EXPECT_EQ(wide.refs, 0);

  ForeignString narrow("mmHg", 1);
  String b = String::Adopt(&narrow);
  EXPECT_EQ(b, String(u"mmHg"));
  EXPECT_EQ(narrow.released, 1);

  ForeignString empty({}, 2);
  EXPECT_EQ(String::Adopt(&empty).Length(), 0);
  EXPECT_EQ(empty.released, 1);
}

TEST(BvlStringHost, CopyToHostBuffer) {
  char buffer[8];
  std::memset(buffer, '#', sizeof buffer);
  EXPECT_FALSE(BVL::CopyToHostBuffer(u"", buffer, sizeof buffer, 65001));
  EXPECT_FALSE(BVL::CopyToHostBuffer(u"abc", nullptr, 8, 65001));
  EXPECT_FALSE(BVL::CopyToHostBuffer(u"abc", buffer, 0, 65001));
  EXPECT_FALSE(BVL::CopyToHostBuffer(u"abc", buffer, 8, 12345));  // no such code page
  EXPECT_EQ(std::string(buffer, sizeof buffer), std::string(8, '#'));

  struct Case {
    std::u16string text;
    unsigned codePage;
    size_t size;
    std::string expect;  // what the buffer holds, terminator included
  } cases[] = {
      {u"abc", 65001, 8, std::string("abc\0", 4)},
      {u"abc", 65001, 4, std::string("abc\0", 4)},
      {u"Hello", 65001, 3, std::string("He\0", 3)},
      {u"Hello", 65001, 1, std::string("\0", 1)},
      {u"a\u00e9b", 65001, 3, std::string("a\0", 2)},  // not cut inside "é"
      {u"a\u00e9b", 65001, 4, std::string("a\xC3\xA9\0", 4)},
      {u"a\u00e9b", 437, 3, std::string("a\x82\0", 3)},
  };
  for (const auto& c : cases) {
    std::vector<char> buf(c.size + 4, '#');
    ASSERT_TRUE(BVL::CopyToHostBuffer(c.text, buf.data(), c.size, c.codePage));
    EXPECT_EQ(std::string(buf.data(), c.expect.size()), c.expect);
    EXPECT_EQ(std::string(buf.data() + c.size, 4), "####");  // never past the size
  }
}

TEST(BvlStringHost, CopyNarrowToHostBuffer) {
  char buffer[6];
  std::memset(buffer, '#', sizeof buffer);
  EXPECT_FALSE(BVL::CopyNarrowToHostBuffer("", buffer, sizeof buffer));
  EXPECT_FALSE(BVL::CopyNarrowToHostBuffer("abc", nullptr, 6));
  EXPECT_FALSE(BVL::CopyNarrowToHostBuffer("abc", buffer, 0));
  EXPECT_EQ(buffer[0], '#');
  EXPECT_TRUE(BVL::CopyNarrowToHostBuffer("+1,1230,1231", buffer, 5));
  EXPECT_EQ(std::string(buffer, 6), std::string("+1,1\0#", 6));
  EXPECT_TRUE(BVL::CopyNarrowToHostBuffer(std::string_view("ab\0cd", 5), buffer, 6));
  EXPECT_STREQ(buffer, "ab");
}

TEST(BvlStringHost, ConvertToCodePage) {
  std::vector<char> out{'x'};
  EXPECT_FALSE(BVL::ConvertToCodePage(u"", 65001, out));
  EXPECT_EQ(out, std::vector<char>{0});
  EXPECT_FALSE(BVL::ConvertToCodePage(u"abc", 12345, out));
  EXPECT_EQ(out, std::vector<char>{0});
  ASSERT_TRUE(BVL::ConvertToCodePage(u"\u20ac5 \u00b0C", 1252, out));
  EXPECT_EQ(std::string(out.begin(), out.end()), std::string("\x80" "5 \xB0" "C\0", 6));
  ASSERT_TRUE(BVL::ConvertToCodePage(u"\u20ac\u00b0", 437, out));  // no euro in 437
  EXPECT_EQ(std::string(out.begin(), out.end()), std::string("?\xF8\0", 3));
}

TEST(BvlStringThreaded, CopiesAndReleasesOnManyThreads) {
  String shared(u"reply line");
  const char16_t* text = shared.c_str();
  constexpr int kThreads = 4, kRounds = 20000;
  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRounds; ++i) {
        String copy = shared;
        String second(copy);
        if (i % 64 == t) {
          second += u'!';  // copy-on-write while others keep sharing
          if (second != String(u"reply line!")) ++mismatches;
        }
        if (copy.c_str() != text) ++mismatches;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(mismatches, 0);
  EXPECT_EQ(shared.RefCount(), 1);
  EXPECT_EQ(shared, String(u"reply line"));
}
