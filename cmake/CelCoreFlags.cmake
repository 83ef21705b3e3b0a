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
    # Line tables only: the reports still name files and lines, and the
    # sanitizer builds CI makes from a cold cache compile faster without the
    # full debug information.
    add_compile_options(-g1)
endif()

# Fuzzing: every object carries libFuzzer's coverage instrumentation; only the
# harnesses link the fuzzer's main (fuzz/CMakeLists.txt).
if(CELCORE_BUILD_FUZZ)
    if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
        message(FATAL_ERROR "CELCORE_BUILD_FUZZ needs clang (CC=clang CXX=clang++)")
    endif()
    add_compile_options(-fsanitize=fuzzer-no-link)
    add_link_options(-fsanitize=fuzzer-no-link)
    # Lets decoders skip checksums that mutated inputs would almost never pass.
    add_compile_definitions(FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION)
endif()

# Warnings are errors in our own code (not in the installed dependencies).
# clang (the fuzzing builds) spells gcc's -Wshadow=local its own way. Three of
# its warnings do not fit the code: the pixel structures declare their copy
# assignment beside converting ones and must stay aggregates (no copy
# constructor can be declared), captures used in one branch of an
# `if constexpr` count as unused, and tests assign shared pointers to
# themselves on purpose.
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    set(CELCORE_SHADOW_WARNING -Wshadow-uncaptured-local -Wno-deprecated-copy -Wno-unused-lambda-capture
                               -Wno-self-assign-overloaded)
else()
    set(CELCORE_SHADOW_WARNING -Wshadow=local)
endif()
function(celcore_strict_warnings target)
    target_compile_options(${target} PRIVATE -Wall -Wextra ${CELCORE_SHADOW_WARNING} -Wnon-virtual-dtor
                                             -Wno-missing-field-initializers -Werror)
endfunction()
