// The ports of --ports: the lists as given, split, their patterns matched
// against the machine's ports, and every adapter taken once.
#pragma once

#include <functional>
#include <string>
#include <vector>

struct BenchPort {
    std::string name;       // as given, or as the pattern matched it
    std::string canonical;  // links resolved: two names of one adapter meet here
};

// Where the names come from; tests put their own tree behind it.
struct PortSource {
    std::function<std::vector<std::string>()> usbAdapters;                        // `usb`
    std::function<std::vector<std::string>(const std::string&)> matchPattern;      // a name with * or ?
    std::function<std::string(const std::string&)> canonical;
};

struct PortListResult {
    std::vector<BenchPort> ports;
    std::string error;  // empty when the list is usable
};

// Items in the order given; a name that is not a pattern is taken as it is,
// also when nothing is there (opening it will tell). A pattern, or `usb`, that
// matches nothing is an error: no box would be served on it.
PortListResult resolvePortLists(const std::vector<std::string>& lists, const PortSource& source);

// The part of a port's name a person tells it by: what follows the last '/'
// (or '\'), unless two ports share it, then the whole name.
std::vector<std::string> shortPortNames(const std::vector<BenchPort>& ports);
