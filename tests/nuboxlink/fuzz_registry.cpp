// Registry files come from administrators and tools: whatever they hold, the parser
// answers a configuration or a refusal, and what it answers reads back the same.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "nuboxlink/interface/registry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    auto file = nuboxlink::parseRegFile(text);
    if (file) {
        auto again = nuboxlink::parseRegFile(nuboxlink::formatRegFile(*file));
        if (!again || again->keys != file->keys) {
            std::abort();
        }
        nuboxlink::RegValues* v = file->find(nuboxlink::deviceKeyName(0));
        if (v) {
            nuboxlink::numberValue(*v, "PortAddress");
            nuboxlink::dwordValue(*v, "PCI-Board");
            nuboxlink::stringValue(*v, "RemoteMachine");
        }
    }
    return 0;
}
