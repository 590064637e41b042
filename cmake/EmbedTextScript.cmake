# Writes the text of INPUT as a raw string literal into OUTPUT.
file(READ ${INPUT} text)
string(FIND "${text}" ")orvo_embed\"" clash)
if(NOT clash EQUAL -1)
    message(FATAL_ERROR "${INPUT} contains the raw string delimiter")
endif()
file(WRITE ${OUTPUT}.tmp
    "// Generated from ${INPUT}; do not edit.\n#include <string_view>\nnamespace ${NS} {\n"
    "extern const std::string_view ${VAR};\n"
    "const std::string_view ${VAR} = R\"orvo_embed(${text})orvo_embed\";\n}\n")
file(COPY_FILE ${OUTPUT}.tmp ${OUTPUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUTPUT}.tmp)
