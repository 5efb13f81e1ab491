#include "base/text.h"

#include <cstdint>
#include <cstring>

#include <unicode/locid.h>
#include <unicode/normalizer2.h>
#include <unicode/unistr.h>

namespace tamber {
namespace {

std::string toUtf8(const icu::UnicodeString& text) {
  std::string out;
  text.toUTF8String(out);
  return out;
}

icu::UnicodeString normalised(const icu::UnicodeString& text) {
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* nfcNormaliser = icu::Normalizer2::getNFCInstance(status);
  if (U_FAILURE(status)) {
    return text;  // ICU data missing: fall back to the text as given
  }
  icu::UnicodeString result = nfcNormaliser->normalize(text, status);
  return U_FAILURE(status) ? text : result;
}

// The length of the well-formed UTF-8 sequence at the start of `bytes` (no overlong forms, no
// surrogates, nothing above U+10FFFF); 0 when there is none.
size_t sequenceLength(std::string_view bytes) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(bytes[i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) {
    return 1;
  }
  size_t length = 0;
  unsigned char low = 0x80;  // the range of the second byte, narrower after some leads
  unsigned char high = 0xbf;
  if (lead >= 0xc2 && lead <= 0xdf) {
    length = 2;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    length = 3;
    low = lead == 0xe0 ? 0xa0 : 0x80;
    high = lead == 0xed ? 0x9f : 0xbf;
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    length = 4;
    low = lead == 0xf0 ? 0x90 : 0x80;
    high = lead == 0xf4 ? 0x8f : 0xbf;
  } else {
    return 0;
  }
  if (bytes.size() < length || byte(1) < low || byte(1) > high) {
    return 0;
  }
  for (size_t i = 2; i < length; ++i) {
    if (byte(i) < 0x80 || byte(i) > 0xbf) {
      return 0;
    }
  }
  return length;
}

constexpr std::string_view kReplacement = "\xef\xbf\xbd";  // U+FFFD

int hexValue(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

}  // namespace

std::string addressOf(std::string_view bytes) {
  if (isAscii(bytes)) {
    return std::string(bytes);
  }
  std::string address;
  address.reserve(bytes.size() + 8);
  while (!bytes.empty()) {
    const size_t length = sequenceLength(bytes);
    if (length == 0) {
      address += kReplacement;
      address += hexText(reinterpret_cast<const unsigned char*>(bytes.data()), 1);
      bytes.remove_prefix(1);
      continue;
    }
    const std::string_view sequence = bytes.substr(0, length);
    address += sequence;
    if (sequence == kReplacement) {
      address += kReplacement;
    }
    bytes.remove_prefix(length);
  }
  return address;
}

std::optional<std::string> bytesOfAddress(std::string_view address) {
  if (isAscii(address)) {
    return std::string(address);
  }
  std::string bytes;
  for (std::string_view rest = address; !rest.empty();) {
    const size_t length = sequenceLength(rest);
    if (length == 0) {
      return std::nullopt;  // not UTF-8: no address
    }
    if (rest.substr(0, length) != kReplacement) {
      bytes += rest.substr(0, length);
      rest.remove_prefix(length);
      continue;
    }
    rest.remove_prefix(length);
    if (rest.starts_with(kReplacement)) {
      bytes += kReplacement;
      rest.remove_prefix(kReplacement.size());
    } else if (rest.size() >= 2 && hexValue(rest[0]) >= 0 && hexValue(rest[1]) >= 0) {
      bytes += static_cast<char>(hexValue(rest[0]) * 16 + hexValue(rest[1]));
      rest.remove_prefix(2);
    } else {
      return std::nullopt;
    }
  }
  // One address per name: an escaped byte that belongs to valid UTF-8 where it now stands
  // (an escaped "A", or the escaped parts of a whole sequence) is not how the name is written.
  if (addressOf(bytes) != address) {
    return std::nullopt;
  }
  return bytes;
}

std::string validUtf8(std::string_view bytes) {
  if (isAscii(bytes)) {
    return std::string(bytes);
  }
  return toUtf8(icu::UnicodeString::fromUTF8(icu::StringPiece(bytes.data(), bytes.size())));
}

std::string_view utf8Prefix(std::string_view bytes, size_t most) {
  if (bytes.size() <= most) {
    return bytes;
  }
  size_t end = most;
  while (end > 0 && (static_cast<unsigned char>(bytes[end]) & 0xC0) == 0x80) {
    --end;
  }
  return bytes.substr(0, end);
}

bool isValidUtf8(std::string_view bytes) {
  if (isAscii(bytes)) {
    return true;
  }
  for (size_t length = 0; !bytes.empty(); bytes.remove_prefix(length)) {
    length = sequenceLength(bytes);
    if (length == 0) {
      return false;
    }
  }
  return true;
}

std::string foldedLower(std::string_view text) {
  if (isAscii(text)) {
    std::string lower(text);
    for (char& c : lower) {
      if (c >= 'A' && c <= 'Z') {
        c = static_cast<char>(c - 'A' + 'a');
      }
    }
    return lower;
  }
  icu::UnicodeString unicode =
      icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), text.size()));
  unicode.toLower(icu::Locale::getRoot());
  return toUtf8(normalised(unicode));
}

std::string nfc(std::string_view text) {
  if (isAscii(text)) {
    return std::string(text);
  }
  return toUtf8(
      normalised(icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), text.size()))));
}

bool isAscii(std::string_view text) {
  // Eight bytes at a time: a text is ASCII when no byte has its high bit set.
  constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;
  size_t i = 0;
  for (; i + 8 <= text.size(); i += 8) {
    std::uint64_t word = 0;
    std::memcpy(&word, text.data() + i, 8);
    if ((word & kHighBits) != 0) {
      return false;
    }
  }
  for (; i < text.size(); ++i) {
    if (static_cast<unsigned char>(text[i]) >= 0x80) {
      return false;
    }
  }
  return true;
}

std::string shellQuote(std::string_view text) {
  std::string quoted = "'";
  for (const char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  quoted += '\'';
  return quoted;
}

std::string hexText(const unsigned char* bytes, size_t count) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  text.reserve(2 * count);
  for (size_t i = 0; i < count; ++i) {
    text.push_back(kHex[bytes[i] >> 4]);
    text.push_back(kHex[bytes[i] & 0x0F]);
  }
  return text;
}

std::string percentEncoded(std::string_view bytes) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(bytes.size());
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
        (byte >= '0' && byte <= '9') || c == '-' || c == '.' || c == '_' || c == '~' || c == '/') {
      out += c;
    } else {
      out += '%';
      out += kHex[byte >> 4];
      out += kHex[byte & 15];
    }
  }
  return out;
}

std::string groupedNumber(std::uint64_t value) {
  const std::string digits = std::to_string(value);
  std::string out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) {
      out += ',';
    }
    out += digits[i];
  }
  return out;
}

std::string plural(std::uint64_t count, const char* one, const char* many) {
  return groupedNumber(count) + " " + (count == 1 ? one : many);
}

}  // namespace tamber
