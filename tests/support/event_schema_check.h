// Every line the real helper writes during a test program is checked
// against schema/quorvel-event.schema.json when the program ends, by
// tests/support/validate_events.py; a line the schema refuses fails it.
#ifndef QUORVEL_TESTS_SUPPORT_EVENT_SCHEMA_CHECK_H_
#define QUORVEL_TESTS_SUPPORT_EVENT_SCHEMA_CHECK_H_

#include <string>
#include <vector>

namespace quorvel {

// Keeps lines, the standard output of one helper process, for the check.
// Any thread.
void collectEventLines(const std::vector<std::string>& lines);

}  // namespace quorvel

#endif  // QUORVEL_TESTS_SUPPORT_EVENT_SCHEMA_CHECK_H_
