# A throw-away certificate authority and server certificates for the test suite's HTTPS servers,
# made by scripts/test-ca in the build tree and made again once they are a week old. The test
# build trusts this authority instead of the system's store; it is never part of a release.
set(VEXL_TEST_CA_DIR "${CMAKE_BINARY_DIR}/test-ca")
string(TIMESTAMP now "%s" UTC)
set(made 0)
if(EXISTS "${VEXL_TEST_CA_DIR}/ca.pem")
    file(TIMESTAMP "${VEXL_TEST_CA_DIR}/ca.pem" made "%s" UTC)
endif()
math(EXPR age "${now} - ${made}")
if(age GREATER 604800)
    execute_process(COMMAND bash "${CMAKE_SOURCE_DIR}/scripts/test-ca" "${VEXL_TEST_CA_DIR}"
        RESULT_VARIABLE failed OUTPUT_QUIET)
    if(failed)
        message(FATAL_ERROR "scripts/test-ca could not make the test certificates")
    endif()
endif()
set(VEXL_TEST_CA_BUNDLE "${VEXL_TEST_CA_DIR}/ca.pem")
