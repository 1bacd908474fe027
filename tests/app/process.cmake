# The program's own process: signals that end it, and the built executable run as a whole.
domiva_add_test(tst_terminationsignals
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_terminationsignals.cpp
    LIBS domiva_termination)
domiva_add_test(tst_process SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_process.cpp LIBS Qt6::Core)
target_compile_definitions(tst_process PRIVATE DOMIVA_EXECUTABLE="$<TARGET_FILE:domiva>")
add_dependencies(tst_process domiva)
