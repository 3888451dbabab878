// The daily log's line form, read without regular expressions:
//   "[Info  ]    2026/12/11 09:30:00 >> message >> rtn = 0"
// A shape is literal text where '#' stands for one decimal digit.
#pragma once

#include <string>
#include <string_view>

namespace testsupport {

// The time stamp between a line's tag and its message.
inline constexpr std::string_view kLogStampShape = "    ####/##/## ##:##:## >> ";

// Whether `text` has exactly the shape (same length, '#' a digit, the rest equal).
bool matchesShape(std::string_view text, std::string_view shape);

// The text with every time stamp written as "    TIME >> ".
std::string maskLogStamps(std::string_view text);

// A line "[tag]" + time stamp + message taken apart: *tag with its brackets
// (letters and blanks between them, at least one), *message the rest.
// False when the line has another form.
bool splitLogLine(std::string_view line, std::string* tag, std::string* message);

}  // namespace testsupport
