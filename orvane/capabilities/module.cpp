// The module's entry point: host facilities imported, callables defined.
#include "capabilities/capabilities.hpp"

#include "support/json.hpp"

namespace orv::capabilities {

Module mod;

}  // namespace orv::capabilities

NB_MODULE(capabilities, m) {
    using namespace orv;
    using namespace orv::capabilities;
    mod.init(m, "The capability map: loading it from a file or a URL, finding it in and above a "
                "target directory, and rendering it for the brain's prompts.");
    // The facilities every call relies on are loaded with the module; the
    // HTTP client is imported only when a map is fetched.
    json::init();
    for (const Name* name : {&k_json, &k_logging, &k_pathlib, &k_urllib_parse}) host_module(*name);

    ClassBuilder cls(mod, "CapabilityMap",
                     "A capability map read from a file path or an HTTP(S) URL, loaded once and "
                     "then kept for the life of the object.");
    define_loading(cls);
    define_rendering(cls);
    define_detection();
    m.attr("CapabilityMap") = cls.build();
}
