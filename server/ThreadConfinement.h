#pragma once

#include "core/Settings.h"

#include <memory>

class CLandlockRuleset;
class CServerMonitor;

// SECURITY: the kernel's guard behind the path rules. A server run's connection threads each confine
// themselves to the root folder, with only the rights the permissions grant, before their first
// client: a fault in the path rules then reaches nothing else on the file system.
// Host's thread, at each start: loads what the threads would read from elsewhere (the time zone of
// the listings' dates), writes the start line that says whether the confinement is on, and gives
// the ruleset for the run's threads; none when the kernel cannot confine them (the line says why).
std::shared_ptr<const CLandlockRuleset> ConfineConnectionThreads(const CSettings::Values& values,
                                                                 CServerMonitor& monitor);
