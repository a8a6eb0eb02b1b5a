#pragma once

#include "platform/Value.h"

#include <string>

namespace norvane {

// A failure as a value: which layer's vocabulary (domain), its code there, a text for people,
// and whatever else the layer attaches. Errors never travel as exceptions between layers.
struct ErrorValue {
    std::string domain;
    long code = 0;
    std::string description;
    ValueMap userInfo;

    friend bool operator==(const ErrorValue&, const ErrorValue&) = default;
};

} // namespace norvane
