# Settings shared by the extension module and the test-only module.
# Include after find_package(Python ...) and find_package(pugixml ...).

include(CheckLinkerFlag)

if(TARGET pugixml::static)
    set(TAMARACK_PUGIXML_TARGET pugixml::static)
else()
    set(TAMARACK_PUGIXML_TARGET pugixml::pugixml)
endif()

set(TAMARACK_WARNING_FLAGS
    -Wall -Wextra -Wpedantic -Wold-style-cast -Wzero-as-null-pointer-constant)
# GCC 12 reports a false -Wrestrict inside std::string's inlined copy at -O2
# and above (GCC bug 105651, fixed in GCC 13).
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU"
   AND CMAKE_CXX_COMPILER_VERSION VERSION_GREATER_EQUAL 12
   AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
    list(APPEND TAMARACK_WARNING_FLAGS -Wno-restrict)
endif()
set(TAMARACK_SANITIZE_FLAGS
    -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)

check_linker_flag(CXX "LINKER:--exclude-libs,ALL" TAMARACK_HAVE_EXCLUDE_LIBS)

# tamarack_configure_extension(<target> <init symbol>)
#
# Warnings, hidden visibility, pugixml and the sanitizers for one Python
# extension module. The module exports exactly <init symbol>: hidden
# visibility covers our own code, and a version script also hides the
# template instantiations that the standard headers mark as default
# visibility and the symbols of a statically linked pugixml.
function(tamarack_configure_extension target init_symbol)
    target_compile_options(${target} PRIVATE ${TAMARACK_WARNING_FLAGS})
    if(TAMARACK_WERROR)
        target_compile_options(${target} PRIVATE -Werror)
    endif()
    set_target_properties(${target} PROPERTIES
        CXX_VISIBILITY_PRESET hidden
        VISIBILITY_INLINES_HIDDEN ON)
    target_link_libraries(${target} PRIVATE ${TAMARACK_PUGIXML_TARGET})

    if(TAMARACK_HAVE_EXCLUDE_LIBS)
        set(version_script "${CMAKE_CURRENT_BINARY_DIR}/${target}.map")
        file(CONFIGURE OUTPUT "${version_script}"
             CONTENT "{\n  global: ${init_symbol};\n  local: *;\n};\n")
        target_link_options(${target} PRIVATE
            "LINKER:--exclude-libs,ALL"
            "LINKER:--version-script=${version_script}")
        set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS "${version_script}")
    endif()

    if(TAMARACK_SANITIZE)
        target_compile_options(${target} PRIVATE ${TAMARACK_SANITIZE_FLAGS})
        target_link_options(${target} PRIVATE ${TAMARACK_SANITIZE_FLAGS})
    endif()
endfunction()
