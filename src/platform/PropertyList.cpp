#include "platform/PropertyList.h"

#include <plist/plist.h>

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <memory>

#include "platform/FileUtil.h"
#include "platform/Trace.h"

// Two encodings are involved:
//
// - XML goes through libplist. Its 2.2 API is narrow in places that matter
//   here: integers are one unsigned type, dates come back as (int32 seconds,
//   unsigned microseconds) since 2001, and a string is a C string.
// - Binary ("bplist00") is encoded and decoded here. libplist 2.2 turns any
//   string that is not valid UTF-8 into a truncated or altered UTF-16 string,
//   which would corrupt file names on the way over IPC, and it cannot read a
//   scalar at the top level. Strings that are not valid UTF-8 are written as
//   8-bit strings with their bytes as they are, and read back the same way.

namespace ulmora {
namespace {

constexpr double kSecondsFrom1970To2001 = 978307200.0;
// Nesting beyond this is refused rather than risking the stack on input
// from a damaged file or a misbehaving peer.
constexpr int kMaxDepth = 512;

// ---------------------------------------------------------------- UTF-8/16

// Length of the valid UTF-8 sequence starting at s[i], or 0.
size_t utf8SequenceLength(std::string_view s, size_t i) {
  auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  auto cont = [&](size_t k) { return k < s.size() && (byte(k) & 0xC0) == 0x80; };
  unsigned char c = byte(i);
  if (c < 0x80)
    return 1;
  if (c >= 0xC2 && c <= 0xDF)
    return cont(i + 1) ? 2 : 0;
  if (c >= 0xE0 && c <= 0xEF) {
    if (!cont(i + 1) || !cont(i + 2))
      return 0;
    unsigned char c1 = byte(i + 1);
    if (c == 0xE0 && c1 < 0xA0)
      return 0;  // overlong
    if (c == 0xED && c1 >= 0xA0)
      return 0;  // surrogate
    return 3;
  }
  if (c >= 0xF0 && c <= 0xF4) {
    if (!cont(i + 1) || !cont(i + 2) || !cont(i + 3))
      return 0;
    unsigned char c1 = byte(i + 1);
    if (c == 0xF0 && c1 < 0x90)
      return 0;  // overlong
    if (c == 0xF4 && c1 >= 0x90)
      return 0;  // above U+10FFFF
    return 4;
  }
  return 0;
}

bool isValidUtf8(std::string_view s) {
  for (size_t i = 0; i < s.size();) {
    size_t n = utf8SequenceLength(s, i);
    if (n == 0)
      return false;
    i += n;
  }
  return true;
}

bool isAscii(std::string_view s) {
  for (char c : s)
    if (static_cast<unsigned char>(c) >= 0x80)
      return false;
  return true;
}

// `s` must be valid UTF-8.
std::u16string utf8ToUtf16(std::string_view s) {
  std::u16string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size();) {
    size_t n = utf8SequenceLength(s, i);
    auto b = [&](size_t k) { return static_cast<char32_t>(static_cast<unsigned char>(s[i + k])); };
    char32_t cp = n == 1   ? b(0)
                  : n == 2 ? ((b(0) & 0x1F) << 6) | (b(1) & 0x3F)
                  : n == 3 ? ((b(0) & 0x0F) << 12) | ((b(1) & 0x3F) << 6) | (b(2) & 0x3F)
                           : ((b(0) & 0x07) << 18) | ((b(1) & 0x3F) << 12) | ((b(2) & 0x3F) << 6) |
                                 (b(3) & 0x3F);
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
    i += n;
  }
  return out;
}

void appendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// Unpaired surrogates become U+FFFD.
std::string utf16ToUtf8(const std::u16string& units) {
  std::string out;
  out.reserve(units.size());
  for (size_t i = 0; i < units.size(); ++i) {
    char32_t u = units[i];
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
        units[i + 1] <= 0xDFFF) {
      appendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (units[i + 1] - 0xDC00));
      ++i;
    } else if (u >= 0xD800 && u <= 0xDFFF) {
      appendUtf8(out, 0xFFFD);
    } else {
      appendUtf8(out, u);
    }
  }
  return out;
}

// ------------------------------------------------------------ binary write

int bytesToHold(uint64_t value) {
  if (value <= 0xFF)
    return 1;
  if (value <= 0xFFFF)
    return 2;
  if (value <= 0xFFFFFFFFu)
    return 4;
  return 8;
}

size_t countObjects(const PropertyList& v) {
  size_t n = 1;
  if (const PropertyList::Array* a = v.asArray())
    for (const PropertyList& item : *a)
      n += countObjects(item);
  if (const PropertyList::Dict* d = v.asDict())
    for (const auto& [key, item] : *d)
      n += 1 + countObjects(item);
  return n;
}

class BinaryWriter {
 public:
  explicit BinaryWriter(size_t objectCount) : refSize_(bytesToHold(objectCount - 1)) {}

  std::string finish(const PropertyList& root) {
    out_ = "bplist00";
    uint64_t top = write(root);
    uint64_t tableOffset = out_.size();
    int offsetSize = bytesToHold(offsets_.empty() ? 0 : offsets_.back());
    for (uint64_t offset : offsets_)
      appendBigEndian(offset, offsetSize);
    out_.append(6, '\0');
    out_.push_back(static_cast<char>(offsetSize));
    out_.push_back(static_cast<char>(refSize_));
    appendBigEndian(offsets_.size(), 8);
    appendBigEndian(top, 8);
    appendBigEndian(tableOffset, 8);
    return std::move(out_);
  }

 private:
  void appendBigEndian(uint64_t value, int size) {
    for (int i = size - 1; i >= 0; --i)
      out_.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
  }

  uint64_t begin() {
    offsets_.push_back(out_.size());
    return offsets_.size() - 1;
  }

  void appendInteger(int64_t v) {
    // 1, 2 and 4-byte integers are unsigned in this format; 8-byte ones signed.
    uint64_t u = static_cast<uint64_t>(v);
    int size = v < 0 ? 8 : bytesToHold(u);
    out_.push_back(static_cast<char>(0x10 | std::countr_zero(static_cast<unsigned>(size))));
    appendBigEndian(u, size);
  }

  void appendMarker(uint8_t kind, uint64_t length) {
    if (length < 15) {
      out_.push_back(static_cast<char>((kind << 4) | length));
    } else {
      out_.push_back(static_cast<char>((kind << 4) | 0x0F));
      appendInteger(static_cast<int64_t>(length));
    }
  }

  void appendDouble(uint8_t marker, double d) {
    out_.push_back(static_cast<char>(marker));
    appendBigEndian(std::bit_cast<uint64_t>(d), 8);
  }

  uint64_t writeString(const std::string& s) {
    uint64_t index = begin();
    if (isAscii(s) || !isValidUtf8(s)) {
      appendMarker(0x5, s.size());
      out_.append(s);
    } else {
      std::u16string units = utf8ToUtf16(s);
      appendMarker(0x6, units.size());
      for (char16_t u : units)
        appendBigEndian(u, 2);
    }
    return index;
  }

  void appendRefs(const std::vector<uint64_t>& refs) {
    for (uint64_t r : refs)
      appendBigEndian(r, refSize_);
  }

  uint64_t write(const PropertyList& v) {
    // Members are written before their container, so that the container
    // knows their indices.
    if (const PropertyList::Array* a = v.asArray()) {
      std::vector<uint64_t> refs;
      refs.reserve(a->size());
      for (const PropertyList& item : *a)
        refs.push_back(write(item));
      uint64_t index = begin();
      appendMarker(0xA, refs.size());
      appendRefs(refs);
      return index;
    }
    if (const PropertyList::Dict* d = v.asDict()) {
      std::vector<uint64_t> keys, values;
      for (const auto& [key, item] : *d) {
        keys.push_back(writeString(key));
        values.push_back(write(item));
      }
      uint64_t index = begin();
      appendMarker(0xD, keys.size());
      appendRefs(keys);
      appendRefs(values);
      return index;
    }
    if (const std::string* s = v.asString())
      return writeString(*s);
    uint64_t index = begin();
    switch (v.type()) {
      case PropertyList::Type::Null:
        out_.push_back('\0');
        break;
      case PropertyList::Type::Boolean:
        out_.push_back(*v.asBoolean() ? '\x09' : '\x08');
        break;
      case PropertyList::Type::Integer:
        appendInteger(*v.asInteger());
        break;
      case PropertyList::Type::Real:
        appendDouble(0x23, *v.asReal());
        break;
      case PropertyList::Type::Date:
        appendDouble(0x33, v.asDate()->secondsSince1970 - kSecondsFrom1970To2001);
        break;
      case PropertyList::Type::Data:
        appendMarker(0x4, v.asData()->bytes.size());
        out_.append(v.asData()->bytes);
        break;
      default:
        break;
    }
    return index;
  }

  int refSize_;
  std::string out_;
  std::vector<uint64_t> offsets_;
};

// ------------------------------------------------------------- binary read

class BinaryReader {
 public:
  explicit BinaryReader(std::string_view bytes) : bytes_(bytes), budget_(bytes.size()) {}

  std::optional<PropertyList> read() {
    if (!readTrailer())
      return std::nullopt;
    return readObject(topObject_, 0);
  }

 private:
  static constexpr size_t kHeader = 8;
  static constexpr size_t kTrailer = 32;

  uint64_t bigEndian(size_t pos, size_t size) const {
    uint64_t v = 0;
    for (size_t i = 0; i < size; ++i)
      v = (v << 8) | static_cast<unsigned char>(bytes_[pos + i]);
    return v;
  }

  // True when `n` bytes from `pos` lie inside the object area.
  bool fits(uint64_t pos, uint64_t n) const { return pos <= objectsEnd_ && n <= objectsEnd_ - pos; }

  static bool validSize(uint64_t size) { return size == 1 || size == 2 || size == 4 || size == 8; }

  bool readTrailer() {
    if (bytes_.size() < kHeader + kTrailer || bytes_.substr(0, kHeader) != "bplist00")
      return false;
    size_t t = bytes_.size() - kTrailer;
    offsetSize_ = static_cast<unsigned char>(bytes_[t + 6]);
    refSize_ = static_cast<unsigned char>(bytes_[t + 7]);
    objectCount_ = bigEndian(t + 8, 8);
    topObject_ = bigEndian(t + 16, 8);
    objectsEnd_ = bigEndian(t + 24, 8);
    if (!validSize(offsetSize_) || !validSize(refSize_))
      return false;
    if (objectCount_ == 0 || topObject_ >= objectCount_)
      return false;
    if (objectsEnd_ < kHeader || objectsEnd_ > t)
      return false;
    return objectCount_ <= (t - objectsEnd_) / offsetSize_;
  }

  std::optional<uint64_t> offsetOf(uint64_t index) const {
    if (index >= objectCount_)
      return std::nullopt;
    uint64_t offset = bigEndian(objectsEnd_ + index * offsetSize_, offsetSize_);
    if (offset < kHeader || offset >= objectsEnd_)
      return std::nullopt;
    return offset;
  }

  // Reads the length of a marker whose low nibble is `nibble`; `pos` is the
  // byte after the marker and moves past an extended length.
  std::optional<uint64_t> readLength(uint8_t nibble, uint64_t& pos) const {
    if (nibble != 0x0F)
      return nibble;
    if (!fits(pos, 1))
      return std::nullopt;
    uint8_t marker = static_cast<unsigned char>(bytes_[pos]);
    uint64_t size = uint64_t{1} << (marker & 0x0F);
    if ((marker & 0xF0) != 0x10 || size > 8 || !fits(pos + 1, size))
      return std::nullopt;
    uint64_t length = bigEndian(pos + 1, size);
    if (size == 8 && length > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))
      return std::nullopt;
    pos += 1 + size;
    return length;
  }

  std::optional<int64_t> readInteger(uint8_t nibble, uint64_t pos) const {
    if (nibble > 4 || !fits(pos, uint64_t{1} << nibble))
      return std::nullopt;
    constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
    if (nibble < 3)
      return static_cast<int64_t>(bigEndian(pos, size_t{1} << nibble));
    if (nibble == 3)
      return static_cast<int64_t>(bigEndian(pos, 8));
    // 16 bytes: how values beyond the signed 64-bit range are stored.
    uint64_t high = bigEndian(pos, 8), low = bigEndian(pos + 8, 8);
    if (high == 0)
      return low > static_cast<uint64_t>(kMax) ? kMax : static_cast<int64_t>(low);
    if (high == ~uint64_t{0} && (low >> 63) != 0)
      return static_cast<int64_t>(low);
    return (high >> 63) != 0 ? std::numeric_limits<int64_t>::min() : kMax;
  }

  std::optional<PropertyList> readObject(uint64_t index, int depth) {
    // Shared members are allowed, so without a budget a small file could
    // expand without end; an honest file spends at least one byte per member.
    if (depth > kMaxDepth || budget_ == 0)
      return std::nullopt;
    --budget_;
    std::optional<uint64_t> start = offsetOf(index);
    if (!start)
      return std::nullopt;
    uint8_t marker = static_cast<unsigned char>(bytes_[*start]);
    uint8_t kind = marker >> 4, nibble = marker & 0x0F;
    uint64_t pos = *start + 1;
    switch (kind) {
      case 0x0:
        if (marker == 0x00)
          return PropertyList();
        if (marker == 0x08 || marker == 0x09)
          return PropertyList(marker == 0x09);
        return std::nullopt;
      case 0x1: {
        std::optional<int64_t> v = readInteger(nibble, pos);
        if (!v)
          return std::nullopt;
        return PropertyList(*v);
      }
      case 0x2:
        if (nibble == 2 && fits(pos, 4))
          return PropertyList(
              static_cast<double>(std::bit_cast<float>(static_cast<uint32_t>(bigEndian(pos, 4)))));
        if (nibble == 3 && fits(pos, 8))
          return PropertyList(std::bit_cast<double>(bigEndian(pos, 8)));
        return std::nullopt;
      case 0x3:
        if (nibble != 3 || !fits(pos, 8))
          return std::nullopt;
        return PropertyList(
            PropertyList::Date{std::bit_cast<double>(bigEndian(pos, 8)) + kSecondsFrom1970To2001});
      case 0x4:
      case 0x5: {
        std::optional<uint64_t> length = readLength(nibble, pos);
        if (!length || !fits(pos, *length))
          return std::nullopt;
        std::string bytes(bytes_.substr(pos, *length));
        if (kind == 0x4)
          return PropertyList(PropertyList::Data{std::move(bytes)});
        return PropertyList(std::move(bytes));
      }
      case 0x6: {
        std::optional<uint64_t> length = readLength(nibble, pos);
        if (!length || *length > objectsEnd_ || !fits(pos, *length * 2))
          return std::nullopt;
        std::u16string units(*length, u'\0');
        for (uint64_t i = 0; i < *length; ++i)
          units[i] = static_cast<char16_t>(bigEndian(pos + 2 * i, 2));
        return PropertyList(utf16ToUtf8(units));
      }
      case 0x8:
        if (!fits(pos, nibble + 1u))
          return std::nullopt;
        if (nibble >= 8)
          return std::nullopt;
        return PropertyList(static_cast<int64_t>(bigEndian(pos, nibble + 1u)));
      case 0xA:
        return readArray(nibble, pos, depth);
      case 0xD:
        return readDict(nibble, pos, depth);
      default:
        return std::nullopt;
    }
  }

  std::optional<std::vector<uint64_t>> readRefs(uint64_t pos, uint64_t count) const {
    if (count > objectsEnd_ || !fits(pos, count * refSize_))
      return std::nullopt;
    std::vector<uint64_t> refs(count);
    for (uint64_t i = 0; i < count; ++i)
      refs[i] = bigEndian(pos + i * refSize_, refSize_);
    return refs;
  }

  std::optional<PropertyList> readArray(uint8_t nibble, uint64_t pos, int depth) {
    std::optional<uint64_t> count = readLength(nibble, pos);
    if (!count)
      return std::nullopt;
    std::optional<std::vector<uint64_t>> refs = readRefs(pos, *count);
    if (!refs)
      return std::nullopt;
    PropertyList::Array items;
    items.reserve(refs->size());
    for (uint64_t ref : *refs) {
      std::optional<PropertyList> item = readObject(ref, depth + 1);
      if (!item)
        return std::nullopt;
      items.push_back(std::move(*item));
    }
    return PropertyList(std::move(items));
  }

  std::optional<PropertyList> readDict(uint8_t nibble, uint64_t pos, int depth) {
    std::optional<uint64_t> count = readLength(nibble, pos);
    if (!count || *count > objectsEnd_)
      return std::nullopt;
    std::optional<std::vector<uint64_t>> refs = readRefs(pos, *count * 2);
    if (!refs)
      return std::nullopt;
    PropertyList::Dict members;
    for (uint64_t i = 0; i < *count; ++i) {
      std::optional<PropertyList> key = readObject((*refs)[i], depth + 1);
      if (!key || !key->isString())
        return std::nullopt;
      std::optional<PropertyList> value = readObject((*refs)[*count + i], depth + 1);
      if (!value)
        return std::nullopt;
      members.insert_or_assign(*key->asString(), std::move(*value));
    }
    return PropertyList(std::move(members));
  }

  std::string_view bytes_;
  size_t budget_;
  uint64_t offsetSize_ = 0;
  uint64_t refSize_ = 0;
  uint64_t objectCount_ = 0;
  uint64_t topObject_ = 0;
  uint64_t objectsEnd_ = 0;
};

// ------------------------------------------------------------- XML (libplist)

struct PlistFree {
  void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

// libplist hands out malloc'ed text.
struct MallocFree {
  void operator()(char* p) const { std::free(p); }
};
using MallocText = std::unique_ptr<char, MallocFree>;

// Deepest element nesting of an XML text, stopping early past `limit`.
// Comments, CDATA, declarations and quoted attribute values are skipped so
// that they cannot hide tags.
int xmlNestingDepth(std::string_view xml, int limit) {
  int depth = 0, deepest = 0;
  size_t i = 0;
  auto skipPast = [&](std::string_view end, size_t from) {
    size_t at = xml.find(end, from);
    return at == std::string_view::npos ? xml.size() : at + end.size();
  };
  while (deepest <= limit) {
    size_t lt = xml.find('<', i);
    if (lt == std::string_view::npos)
      break;
    std::string_view rest = xml.substr(lt);
    if (rest.starts_with("<!--")) {
      i = skipPast("-->", lt + 4);
    } else if (rest.starts_with("<![CDATA[")) {
      i = skipPast("]]>", lt + 9);
    } else if (rest.starts_with("<!") || rest.starts_with("<?")) {
      i = skipPast(">", lt + 2);
    } else {
      size_t gt = lt + 1;
      char quote = 0;
      for (; gt < xml.size(); ++gt) {
        char c = xml[gt];
        if (quote) {
          if (c == quote)
            quote = 0;
        } else if (c == '"' || c == '\'') {
          quote = c;
        } else if (c == '>') {
          break;
        }
      }
      if (gt >= xml.size())
        break;
      if (xml[lt + 1] == '/') {
        --depth;
      } else if (xml[gt - 1] != '/') {
        deepest = std::max(deepest, ++depth);
      }
      i = gt + 1;
    }
  }
  return deepest;
}

// libplist 2.2 hands dates out only as int32 seconds, which ends in 1933
// and 2069, and loses the sign of the fraction before 2001. Its binary form
// carries the full double, so dates are read through that.
double dateFromNode(plist_t node) {
  char* raw = nullptr;
  uint32_t length = 0;
  plist_to_bin(node, &raw, &length);
  MallocText bin(raw);
  if (raw) {
    std::optional<PropertyList> value = BinaryReader(std::string_view(raw, length)).read();
    if (value && value->asDate())
      return value->asDate()->secondsSince1970;
  }
  int32_t sec = 0, usec = 0;
  plist_get_date_val(node, &sec, &usec);
  double fraction = std::abs(usec) / 1e6;
  return static_cast<double>(sec) + (sec < 0 ? -fraction : fraction) + kSecondsFrom1970To2001;
}

int64_t integerFromNode(plist_t node) {
  uint64_t raw = 0;
  plist_get_uint_val(node, &raw);
  if (raw <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))
    return static_cast<int64_t>(raw);
  // A negative number and an unsigned one above INT64_MAX share the same
  // 64 bits; libplist marks the unsigned kind internally, which shows as a
  // mismatch against a plain node holding the same bits.
  PlistPtr plain(plist_new_uint(raw));
  if (plist_compare_node_value(node, static_cast<plist_t>(plain.get())))
    return static_cast<int64_t>(raw);
  return std::numeric_limits<int64_t>::max();
}

std::optional<PropertyList> fromNode(plist_t node, int depth) {
  if (!node || depth > kMaxDepth)
    return std::nullopt;
  switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
      uint8_t b = 0;
      plist_get_bool_val(node, &b);
      return PropertyList(b != 0);
    }
    case PLIST_UINT:
      return PropertyList(integerFromNode(node));
    case PLIST_UID: {
      uint64_t raw = 0;
      plist_get_uid_val(node, &raw);
      return PropertyList(static_cast<int64_t>(
          std::min<uint64_t>(raw, static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))));
    }
    case PLIST_REAL: {
      double d = 0;
      plist_get_real_val(node, &d);
      return PropertyList(d);
    }
    case PLIST_STRING: {
      // By pointer and length: the copying getter aborts the process on a
      // text with a NUL in it, which "&#0;" in a file is enough to make.
      uint64_t length = 0;
      const char* raw = plist_get_string_ptr(node, &length);
      return PropertyList(raw ? std::string(raw, length) : std::string());
    }
    case PLIST_DATA: {
      char* raw = nullptr;
      uint64_t length = 0;
      plist_get_data_val(node, &raw, &length);
      MallocText bytes(raw);
      return PropertyList(PropertyList::Data{raw ? std::string(raw, length) : std::string()});
    }
    case PLIST_DATE:
      return PropertyList(PropertyList::Date{dateFromNode(node)});
    case PLIST_ARRAY: {
      PropertyList::Array items;
      uint32_t size = plist_array_get_size(node);
      items.reserve(size);
      for (uint32_t i = 0; i < size; ++i) {
        std::optional<PropertyList> item = fromNode(plist_array_get_item(node, i), depth + 1);
        if (!item)
          return std::nullopt;
        items.push_back(std::move(*item));
      }
      return PropertyList(std::move(items));
    }
    case PLIST_DICT: {
      PropertyList::Dict members;
      plist_dict_iter iter = nullptr;
      plist_dict_new_iter(node, &iter);
      std::unique_ptr<void, void (*)(void*)> iterOwner(iter, std::free);
      for (;;) {
        char* rawKey = nullptr;
        plist_t value = nullptr;
        plist_dict_next_item(node, iter, &rawKey, &value);
        MallocText key(rawKey);
        if (!value)
          break;
        std::optional<PropertyList> item = fromNode(value, depth + 1);
        if (!item || !rawKey)
          return std::nullopt;
        members.insert_or_assign(std::string(rawKey), std::move(*item));
      }
      return PropertyList(std::move(members));
    }
    default:
      return std::nullopt;
  }
}

// The way in, for the same reason as dateFromNode: a one-date binary list.
plist_t dateNode(double secondsSince1970) {
  // XML writes a four-digit year; a value without a date (NaN) becomes 1970.
  constexpr double kYear1 = -62135596800.0, kYear9999 = 253402300799.0;
  double seconds =
      std::isnan(secondsSince1970) ? 0 : std::clamp(secondsSince1970, kYear1, kYear9999);
  std::string bin = PropertyList(PropertyList::Array{PropertyList::Date{seconds}}).toBinary();
  plist_t array = nullptr;
  plist_from_bin(bin.data(), static_cast<uint32_t>(bin.size()), &array);
  PlistPtr owner(array);
  plist_t item = array ? plist_array_get_item(array, 0) : nullptr;
  if (item && plist_get_node_type(item) == PLIST_DATE)
    return plist_copy(item);
  double since2001 = std::clamp(seconds - kSecondsFrom1970To2001, -2147483648.0, 2147483647.0);
  return plist_new_date(static_cast<int32_t>(std::floor(since2001)), 0);
}

// The text as libplist will keep it: up to the first NUL byte.
const char* cText(const std::string& s, bool* truncated) {
  if (s.find('\0') != std::string::npos)
    *truncated = true;
  return s.c_str();
}

// nullptr for Null, which XML cannot carry.
plist_t toNode(const PropertyList& v, bool* truncated) {
  switch (v.type()) {
    case PropertyList::Type::Null:
      return nullptr;
    case PropertyList::Type::Boolean:
      return plist_new_bool(*v.asBoolean() ? 1 : 0);
    case PropertyList::Type::Integer:
      return plist_new_uint(static_cast<uint64_t>(*v.asInteger()));
    case PropertyList::Type::Real:
      return plist_new_real(*v.asReal());
    case PropertyList::Type::String:
      return plist_new_string(cText(*v.asString(), truncated));
    case PropertyList::Type::Data:
      return plist_new_data(v.asData()->bytes.data(), v.asData()->bytes.size());
    case PropertyList::Type::Date:
      return dateNode(v.asDate()->secondsSince1970);
    case PropertyList::Type::Array: {
      plist_t array = plist_new_array();
      for (const PropertyList& item : *v.asArray())
        if (plist_t node = toNode(item, truncated))
          plist_array_append_item(array, node);
      return array;
    }
    case PropertyList::Type::Dict: {
      plist_t dict = plist_new_dict();
      for (const auto& [key, item] : *v.asDict())
        if (plist_t node = toNode(item, truncated))
          plist_dict_set_item(dict, cText(key, truncated), node);
      return dict;
    }
  }
  return nullptr;
}

std::optional<PropertyList> parseXml(std::string_view bytes) {
  // libplist's parser does not expect a byte order mark.
  if (bytes.starts_with("\xEF\xBB\xBF"))
    bytes.remove_prefix(3);
  if (bytes.empty() || bytes.size() > std::numeric_limits<uint32_t>::max())
    return std::nullopt;
  // No XML document holds a NUL byte; libplist would cut texts short at it.
  if (bytes.find('\0') != std::string_view::npos)
    return std::nullopt;
  // libplist parses recursively and runs out of stack on deep nesting.
  if (xmlNestingDepth(bytes, kMaxDepth) > kMaxDepth)
    return std::nullopt;
  plist_t root = nullptr;
  plist_from_xml(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
  PlistPtr owner(root);
  return fromNode(root, 0);
}

// --------------------------------------------------------- Foundation rules

bool isBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

bool stringBoolValue(std::string_view s) {
  size_t i = 0;
  while (i < s.size() && isBlank(s[i]))
    ++i;
  if (i < s.size() && (s[i] == '+' || s[i] == '-'))
    ++i;
  while (i < s.size() && s[i] == '0')
    ++i;
  if (i >= s.size())
    return false;
  char c = s[i];
  return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
}

int64_t stringIntegerValue(std::string_view s) {
  size_t i = 0;
  while (i < s.size() && isBlank(s[i]))
    ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-'))
    negative = s[i++] == '-';
  // Accumulate towards the negative side, which has the larger range.
  constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
  int64_t value = 0;
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
    int digit = s[i] - '0';
    if (value < (kMin + digit) / 10)
      return negative ? kMin : std::numeric_limits<int64_t>::max();
    value = value * 10 - digit;
  }
  if (negative)
    return value;
  return value == kMin ? std::numeric_limits<int64_t>::max() : -value;
}

int64_t realIntegerValue(double d) {
  if (std::isnan(d))
    return 0;
  if (d >= 9223372036854775807.0)
    return std::numeric_limits<int64_t>::max();
  if (d <= -9223372036854775808.0)
    return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(d);
}

}  // namespace

const PropertyList* PropertyList::find(std::string_view key) const {
  const Dict* d = asDict();
  if (!d)
    return nullptr;
  auto it = d->find(std::string(key));
  return it == d->end() ? nullptr : &it->second;
}

void PropertyList::set(const std::string& key, PropertyList value) {
  if (isNull())
    value_ = Dict{};
  Dict* d = asDict();
  if (!d) {
    traceLine("PropertyList: set '" + key + "' on a value that is not a dictionary; ignored");
    return;
  }
  d->insert_or_assign(key, std::move(value));
}

void PropertyList::append(PropertyList value) {
  if (isNull())
    value_ = Array{};
  Array* a = asArray();
  if (!a) {
    traceLine("PropertyList: append to a value that is not an array; ignored");
    return;
  }
  a->push_back(std::move(value));
}

std::optional<std::string> PropertyList::stringFor(std::string_view key) const {
  const PropertyList* member = find(key);
  if (!member || !member->isString())
    return std::nullopt;
  return *member->asString();
}

std::optional<std::string> PropertyList::textValue() const {
  switch (type()) {
    case Type::String:
      return *asString();
    case Type::Integer:
      return std::to_string(*asInteger());
    case Type::Boolean:
      return std::string(*asBoolean() ? "1" : "0");
    case Type::Real: {
      char buffer[64];
      auto result = std::to_chars(buffer, buffer + sizeof(buffer), *asReal());
      return std::string(buffer, result.ptr);
    }
    default:
      return std::nullopt;
  }
}

bool PropertyList::boolValue() const {
  switch (type()) {
    case Type::Boolean:
      return *asBoolean();
    case Type::Integer:
      return *asInteger() != 0;
    case Type::Real:
      return *asReal() != 0;
    case Type::String:
      return stringBoolValue(*asString());
    default:
      return false;
  }
}

int64_t PropertyList::integerValue() const {
  switch (type()) {
    case Type::Boolean:
      return *asBoolean() ? 1 : 0;
    case Type::Integer:
      return *asInteger();
    case Type::Real:
      return realIntegerValue(*asReal());
    case Type::String:
      return stringIntegerValue(*asString());
    default:
      return 0;
  }
}

std::optional<PropertyList> PropertyList::parse(std::string_view bytes) {
  if (bytes.starts_with("bplist"))
    return BinaryReader(bytes).read();
  return parseXml(bytes);
}

std::optional<PropertyList> PropertyList::readFile(const std::string& path) {
  std::optional<std::string> bytes = fileutil::readFile(path);
  if (!bytes)
    return std::nullopt;
  std::optional<PropertyList> value = parse(*bytes);
  if (!value)
    traceLine("PropertyList: '" + path + "' is not a property list");
  return value;
}

std::string PropertyList::toXml() const {
  bool truncated = false;
  PlistPtr root(toNode(*this, &truncated));
  if (!root)
    return std::string();
  if (truncated)
    traceLine("PropertyList: a text with a NUL byte was cut short at the NUL for XML");
  char* raw = nullptr;
  uint32_t length = 0;
  plist_to_xml(static_cast<plist_t>(root.get()), &raw, &length);
  MallocText text(raw);
  return raw ? std::string(raw, length) : std::string();
}

std::string PropertyList::toBinary() const {
  return BinaryWriter(countObjects(*this)).finish(*this);
}

bool PropertyList::writeFile(const std::string& path, fileutil::Durability durability) const {
  std::string xml = toXml();
  if (xml.empty()) {
    traceLine("PropertyList: nothing to write to '" + path + "' (an empty value)");
    return false;
  }
  return fileutil::writeFileAtomically(path, xml, fileutil::kOwnerOnlyFile, durability);
}

}  // namespace ulmora
