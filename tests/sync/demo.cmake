# The bundled demo service: its listing logic, and the executable end to end.
domiva_add_test(tst_demofeed SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_demofeed.cpp LIBS domiva_demo)
domiva_add_test(tst_demoservice SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_demoservice.cpp LIBS Qt6::Core)
target_compile_definitions(tst_demoservice
    PRIVATE DOMIVA_DEMO_SERVICE_PATH="$<TARGET_FILE:domiva-demo-service>")
add_dependencies(tst_demoservice domiva-demo-service)
