// orvane.capabilities: the capability map, the declared list of tools,
// services and instruments of a target environment, and its prompt texts.
//
// One extension module in three parts: loading (the CapabilityMap class and
// its sources), detection (finding a map file in and above a target
// directory) and rendering (the texts handed to the brain). Each part adds
// its callables to the module or to the class while the module initialises.
#pragma once

#include "support/host.hpp"

namespace orv::capabilities {

extern Module mod;  // orvane.capabilities, read at call time

// Adds __init__, load, available and the two static loaders to the class.
void define_loading(ClassBuilder& cls);
// Adds auto_detect_capability_map to the module.
void define_detection();
// Adds _humanize, _item_label and _format_field to the module, and the three
// renderers and _render_item_field to the class.
void define_rendering(ClassBuilder& cls);

}  // namespace orv::capabilities
