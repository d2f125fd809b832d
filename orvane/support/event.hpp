// The event checks of validate_event, shared with the ledger's bulk load.
#pragma once

#include "support/core.hpp"

#include <utility>
#include <vector>

namespace orv::event {

class Rules {
public:
    // A snapshot of the table of required fields (name -> type) and of the
    // type registry as they stand now.
    Rules(handle required_fields, handle registry);

    // True when `ev` is a valid event. Never raises: any error is a False.
    bool check(PyObject* ev) const noexcept;

private:
    bool check_or_raise(PyObject* ev) const;
    std::vector<std::pair<object, object>> fields_;
    object registry_;
};

}  // namespace orv::event
