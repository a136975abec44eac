#include "PeerFormat.h"

#include <ctime>

namespace ulmora::peer {

namespace {

// `alsoSpace` for a field that a blank ends.
std::string escape(std::string_view text, bool alsoSpace = false) {
  static const char* kHex = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '"') {
      out += "\\\"";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c < 0x20 || c == 0x7f || (alsoSpace && c == ' ')) {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

}  // namespace

std::string formatTime(Clock::WallTime when) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch());
  const std::time_t seconds = static_cast<std::time_t>(ms.count() / 1000);
  std::tm tm{};
  gmtime_r(&seconds, &tm);
  char buf[40];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
  char frac[8];
  std::snprintf(frac, sizeof frac, ".%03dZ", static_cast<int>(ms.count() % 1000));
  return std::string(buf) + frac;
}

std::string render(const PropertyList& value, bool quoteTexts) {
  if (const std::string* s = value.asString()) {
    return quoteTexts ? "\"" + escape(*s) + "\"" : escape(*s);
  }
  if (const PropertyList::Array* items = value.asArray()) {
    std::string out = "[";
    for (size_t i = 0; i < items->size(); ++i) {
      if (i) out += ", ";
      out += render((*items)[i], true);
    }
    return out + "]";
  }
  if (const PropertyList::Dict* dict = value.asDict()) {
    std::string out = "{";
    bool first = true;
    for (const auto& [key, member] : *dict) {
      if (!first) out += ", ";
      first = false;
      out += "\"" + escape(key) + "\": " + render(member, true);
    }
    return out + "}";
  }
  if (value.isNull()) return "null";
  if (const PropertyList::Data* data = value.asData()) {
    return "<" + std::to_string(data->bytes.size()) + " bytes>";
  }
  if (const PropertyList::Date* date = value.asDate()) {
    return formatTime(Clock::WallTime(std::chrono::duration_cast<Clock::WallTime::duration>(
        std::chrono::duration<double>(date->secondsSince1970))));
  }
  return value.textValue().value_or("?");
}

std::string formatLine(Clock::WallTime when, std::string_view channel, std::string_view kind,
                       const PropertyList& payload) {
  return formatTime(when) + " " + std::string(channel) + " " + escape(kind, true) + " " +
         render(payload, false);
}

}  // namespace ulmora::peer
