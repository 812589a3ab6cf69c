#include "events/shortest_decimal.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace quorvel {
namespace {

// A positive number as significant digits (no leading zero) and the
// decimal exponent of the first: digits[0].digits[1..] x 10^exponent.
struct Decimal {
  std::string digits;
  int exponent = 0;
};

// Reads printf's "%e" form, whatever the locale uses as decimal point.
Decimal parseScientific(const char* text) {
  Decimal decimal;
  const char* p = text;
  for (; *p != '\0' && *p != 'e'; ++p) {
    if (*p >= '0' && *p <= '9') decimal.digits += *p;
  }
  if (*p == 'e') decimal.exponent = std::atoi(p + 1);
  return decimal;
}

// Written as an integer mantissa with an exponent, so that strtod needs
// no decimal point, whatever the locale.
bool readsBackAs(const Decimal& decimal, double magnitude) {
  char text[64];
  const int scale =
      decimal.exponent - static_cast<int>(decimal.digits.size()) + 1;
  std::snprintf(text, sizeof text, "%se%d", decimal.digits.c_str(), scale);
  return std::strtod(text, nullptr) == magnitude;
}

// The next decimal up with as many digits ("9.99" becomes "1.00e+1").
Decimal roundedUp(Decimal decimal) {
  for (size_t i = decimal.digits.size(); i-- > 0;) {
    if (decimal.digits[i] != '9') {
      ++decimal.digits[i];
      return decimal;
    }
    decimal.digits[i] = '0';
  }
  decimal.digits.insert(decimal.digits.begin(), '1');
  decimal.digits.pop_back();
  ++decimal.exponent;
  return decimal;
}

// The shortest digits that read back as magnitude (finite, > 0), and the
// nearest to it among those.
Decimal shortestDigits(double magnitude) {
  // Below a power of two the neighbouring double is twice as close as
  // above it, so the nearest decimal may fall outside the values that
  // read back while the next one up is inside.
  int binaryExponent;
  const bool powerOfTwo = std::frexp(magnitude, &binaryExponent) == 0.5;
  Decimal decimal;
  char text[64];
  for (int precision = 0; precision < 16; ++precision) {
    std::snprintf(text, sizeof text, "%.*e", precision, magnitude);
    decimal = parseScientific(text);
    if (readsBackAs(decimal, magnitude)) return decimal;
    if (powerOfTwo) {
      const Decimal up = roundedUp(decimal);
      if (readsBackAs(up, magnitude)) return up;
    }
  }
  // Seventeen significant digits always read back.
  std::snprintf(text, sizeof text, "%.16e", magnitude);
  return parseScientific(text);
}

}  // namespace

std::string shortestDecimal(double value) {
  const std::string sign = std::signbit(value) ? "-" : "";
  if (std::isnan(value)) return sign + "nan";
  if (std::isinf(value)) return sign + "inf";
  if (value == 0) return sign + "0";

  const double magnitude = std::fabs(value);
  Decimal decimal = shortestDigits(magnitude);
  while (decimal.digits.size() > 1 && decimal.digits.back() == '0') {
    decimal.digits.pop_back();
  }
  const std::string& digits = decimal.digits;
  const int count = static_cast<int>(digits.size());
  const int exponent = decimal.exponent;

  std::string scientific = digits.substr(0, 1);
  if (count > 1) scientific += "." + digits.substr(1);
  char power[16];
  std::snprintf(power, sizeof power, "e%c%02d", exponent < 0 ? '-' : '+',
                std::abs(exponent));
  scientific += power;

  // An integer's fixed form is exponent + 1 digits long.
  if (exponent >= count - 1) {
    if (exponent + 1 > static_cast<int>(scientific.size())) {
      return sign + scientific;
    }
    // All its digits, exactly, not the shortest ones padded with zeros.
    char whole[32];
    std::snprintf(whole, sizeof whole, "%.0f", magnitude);
    return sign + whole;
  }
  std::string fixed;
  if (exponent >= 0) {
    fixed = digits.substr(0, exponent + 1) + "." + digits.substr(exponent + 1);
  } else {
    fixed = "0." + std::string(-exponent - 1, '0') + digits;
  }
  return sign + (fixed.size() <= scientific.size() ? fixed : scientific);
}

}  // namespace quorvel
