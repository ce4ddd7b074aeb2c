// The records the dated boot loaders (4.11 to 4.13) take around the image.
#pragma once

#include <array>
#include <cstdint>

#include "platform/platform.h"

// Modified Julian Date of a calendar date, low 16 bits, as the broadcast
// time coding computes it.
std::uint16_t modifiedJulianDate(int year, int month, int day);

// 5 bytes: MJD big-endian, then hour, minute and second in BCD.
using BoxTimeStamp = std::array<std::uint8_t, 5>;
BoxTimeStamp makeBoxTimeStamp(const platform::LocalTime& time);

// 9 bytes, laid out like the head of a padded image: length, type 7, id.
using ImageAnnouncement = std::array<std::uint8_t, 9>;
ImageAnnouncement makeImageAnnouncement(std::uint32_t imageLength, std::uint32_t imageId);
