// Numbers as the shortest decimal text that reads back to the same double,
// for the event stream and the diagnostics. Pure; any thread.
#ifndef QUORVEL_EVENTS_SHORTEST_DECIMAL_H_
#define QUORVEL_EVENTS_SHORTEST_DECIMAL_H_

#include <string>

namespace quorvel {

// The fewest significant digits that read back as value, laid out as
// std::to_chars lays out a double with no format given: fixed or
// scientific, whichever is shorter (fixed on a tie), integers in fixed
// form with all their digits ("0.5", "5e-04", "44100", "1e+21"); "nan",
// "inf" and "-0" keep their sign. Independent of the C locale.
std::string shortestDecimal(double value);

}  // namespace quorvel

#endif  // QUORVEL_EVENTS_SHORTEST_DECIMAL_H_
