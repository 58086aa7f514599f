// Registers the built-in firmware collection, which the assembler file next to this one embeds.
#include "platform/Resources.h"

#include <cstdint>

extern "C" const uint8_t kelvo_builtin_fwcollection[];
extern "C" const uint8_t kelvo_builtin_fwcollection_end[];

namespace {
const TResourceRegistration BuiltinCollection("FWCOLLECTION", kelvo_builtin_fwcollection,
                                              std::size_t(kelvo_builtin_fwcollection_end -
                                                          kelvo_builtin_fwcollection));
} // namespace
