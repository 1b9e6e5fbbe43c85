#pragma once

#include "VqStdException.h"

#include <ostream>
#include <string>

// What a call that should throw the library's exception threw: its text and
// code, or an empty text and code 0 when it threw nothing. One comparison
// then checks that it threw, what it said and with which code.
struct Thrown {
    std::string text;
    int code = 0;
    bool operator==(const Thrown&) const = default;
    friend std::ostream& operator<<(std::ostream& os, const Thrown& t) {
        return os << '"' << t.text << "\" (code " << t.code << ')';
    }
};

template <class Body>
Thrown thrown(Body&& body) {
    try {
        body();
    } catch (const Vq::StdException& e) {
        return {e.description(), static_cast<int>(e.code())};
    }
    return {};
}
