// Reads integer elements of any width and signedness as int64, from raw bytes in this process's
// byte order.
#pragma once
#include <cstdint>
#include <cstring>

#include "element_type.h"

namespace corvane {

class IntegerReader {
public:
    explicit IntegerReader(ElementType t) : t_(t) {}

    bool valid() const {
        const bool integer = t_.kind == ElementKind::signed_int || t_.kind == ElementKind::unsigned_int;
        return integer && (t_.size == 1 || t_.size == 2 || t_.size == 4 || t_.size == 8);
    }

    // False for a type that is not valid() and for an unsigned value beyond int64.
    bool read(const char *p, int64_t &v) const {
        if (t_.kind == ElementKind::signed_int) {
            switch (t_.size) {
            case 1:
                v = load<int8_t>(p);
                return true;
            case 2:
                v = load<int16_t>(p);
                return true;
            case 4:
                v = load<int32_t>(p);
                return true;
            case 8:
                v = load<int64_t>(p);
                return true;
            }
        } else if (t_.kind == ElementKind::unsigned_int) {
            switch (t_.size) {
            case 1:
                v = load<uint8_t>(p);
                return true;
            case 2:
                v = load<uint16_t>(p);
                return true;
            case 4:
                v = load<uint32_t>(p);
                return true;
            case 8: {
                const uint64_t x = load<uint64_t>(p);
                if (x > (uint64_t)INT64_MAX)
                    return false;
                v = (int64_t)x;
                return true;
            }
            }
        }
        return false;
    }

private:
    template <typename T> static T load(const char *p) {
        T x;
        std::memcpy(&x, p, sizeof x);
        return x;
    }

    ElementType t_;
};

} // namespace corvane
