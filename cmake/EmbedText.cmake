# orvo_embed_text(<output.cpp> <input> <namespace> <variable>)
# Generates a C++ source that defines `std::string_view <namespace>::<variable>`
# holding the input file's text, regenerated whenever the input changes.
function(orvo_embed_text output input ns variable)
    add_custom_command(
        OUTPUT ${output}
        COMMAND ${CMAKE_COMMAND} -DINPUT=${input} -DOUTPUT=${output} -DNS=${ns} -DVAR=${variable}
                -P ${PROJECT_SOURCE_DIR}/cmake/EmbedTextScript.cmake
        DEPENDS ${input} ${PROJECT_SOURCE_DIR}/cmake/EmbedTextScript.cmake
        COMMENT "Embedding ${input}"
        VERBATIM)
endfunction()
