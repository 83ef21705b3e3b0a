# Compiler settings shared by every target of the project.

# Results are specified to the last bit, so no build may fuse multiply-adds or
# reassociate floating-point arithmetic, whatever instruction set it targets.
add_compile_options(-ffp-contract=off -fno-fast-math)

if(CELCORE_SANITIZE)
    string(REPLACE "," ";" _sanitizers "${CELCORE_SANITIZE}")
    foreach(s IN LISTS _sanitizers)
        if(NOT s MATCHES "^(address|undefined|thread)$")
            message(FATAL_ERROR "CELCORE_SANITIZE: unknown sanitizer '${s}'")
        endif()
    endforeach()
    add_compile_options(-fsanitize=${CELCORE_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
    # ifunc resolvers (target_clones) run before the sanitizer runtime starts.
    add_compile_definitions(CELCORE_SANITIZED=1)
    add_link_options(-fsanitize=${CELCORE_SANITIZE})
endif()

# Warnings are errors in our own code (not in the installed dependencies).
function(celcore_strict_warnings target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow=local -Wnon-virtual-dtor
                                             -Wno-missing-field-initializers -Werror)
endfunction()
