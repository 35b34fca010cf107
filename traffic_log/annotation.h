// With -a every line starts with the local time and, for a line of a
// connection, the connection's number: "2026-12-08 14:01:42.009768 #12 ".
#pragma once

#include <cstddef>
#include <cstdint>

// A connection's number in accept order; 0 for lines of no connection.
using ConnectionNumber = std::uint64_t;

// Room for the longest annotation.
inline constexpr std::size_t kAnnotationSize = 64;

// Writes the annotation of a line of the connection, read at time_us (wall
// clock microseconds), into buffer; returns its length.
std::size_t format_annotation(ConnectionNumber connection, std::int64_t time_us, char* buffer, std::size_t size);
