#ifndef KORVANE_PLATFORM_WIN32_ZONE_WIN32_H
#define KORVANE_PLATFORM_WIN32_ZONE_WIN32_H

#include <windows.h>

#include "platform/zone_rules.h"

namespace korvane::platform::win32 {

// The zone rules that a TIME_ZONE_INFORMATION describes.
zone::ZoneRules RulesFromZoneInformation(const TIME_ZONE_INFORMATION& info);

zone::LocalClock LocalClockOf(const SYSTEMTIME& local);

}  // namespace korvane::platform::win32

#endif
