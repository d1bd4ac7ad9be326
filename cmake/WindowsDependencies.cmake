# Imported targets for the dependencies that scripts/build-windows builds into VEXL_WINDOWS_DEPS,
# named as the find modules name them on other platforms.
if(NOT EXISTS "${VEXL_WINDOWS_DEPS}/lib/libcurl.a")
    message(FATAL_ERROR "VEXL_WINDOWS_DEPS must name the prefix scripts/build-windows made")
endif()
set(deps "${VEXL_WINDOWS_DEPS}")

add_library(CURL::libcurl STATIC IMPORTED)
set_target_properties(CURL::libcurl PROPERTIES
    IMPORTED_LOCATION "${deps}/lib/libcurl.a"
    INTERFACE_INCLUDE_DIRECTORIES "${deps}/include"
    INTERFACE_COMPILE_DEFINITIONS CURL_STATICLIB
    INTERFACE_LINK_LIBRARIES
    "${deps}/lib/libnghttp2.a;${deps}/lib/libz.a;ws2_32;crypt32;bcrypt;secur32;iphlpapi;advapi32")

add_library(Zstd::zstd STATIC IMPORTED)
set_target_properties(Zstd::zstd PROPERTIES
    IMPORTED_LOCATION "${deps}/lib/libzstd.a"
    INTERFACE_INCLUDE_DIRECTORIES "${deps}/include")

add_library(Sodium::sodium STATIC IMPORTED)
set_target_properties(Sodium::sodium PROPERTIES
    IMPORTED_LOCATION "${deps}/lib/libsodium.a"
    INTERFACE_INCLUDE_DIRECTORIES "${deps}/include"
    INTERFACE_COMPILE_DEFINITIONS SODIUM_STATIC)

add_library(Boost::filesystem STATIC IMPORTED)
set_target_properties(Boost::filesystem PROPERTIES
    IMPORTED_LOCATION "${deps}/lib/libboost_filesystem.a"
    INTERFACE_INCLUDE_DIRECTORIES "${deps}/include"
    INTERFACE_COMPILE_DEFINITIONS "BOOST_ALL_NO_LIB;BOOST_FILESYSTEM_STATIC_LINK=1")
add_library(Boost::system INTERFACE IMPORTED)
add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
set_target_properties(nlohmann_json::nlohmann_json PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES "${deps}/include")

# One executable that needs no DLL of its compiler.
add_link_options(-static -static-libgcc -static-libstdc++)

# GoogleTest built by scripts/build-windows, and cpp-httplib's one header beside it.
if(VEXL_BUILD_TESTS)
    set(VEXL_WINDOWS_TEST_DEPS "" CACHE PATH "Prefix of the test dependencies built for Windows")
    if(NOT EXISTS "${VEXL_WINDOWS_TEST_DEPS}/lib/libgtest.a")
        message(FATAL_ERROR "VEXL_WINDOWS_TEST_DEPS must name the prefix scripts/build-windows made")
    endif()
    set(tests "${VEXL_WINDOWS_TEST_DEPS}")
    add_library(GTest::gtest STATIC IMPORTED)
    set_target_properties(GTest::gtest PROPERTIES
        IMPORTED_LOCATION "${tests}/lib/libgtest.a"
        INTERFACE_INCLUDE_DIRECTORIES "${tests}/include")
    add_library(vexl_httplib INTERFACE IMPORTED)
    set_target_properties(vexl_httplib PROPERTIES
        INTERFACE_INCLUDE_DIRECTORIES "${tests}/include"
        INTERFACE_LINK_LIBRARIES "ws2_32")
endif()
