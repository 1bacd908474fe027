# The program: its entry and the signals that end it, on top of the main window.
add_library(domiva_termination STATIC
    ${CMAKE_CURRENT_LIST_DIR}/terminationsignals.h
    ${CMAKE_CURRENT_LIST_DIR}/terminationsignals.cpp
)
target_include_directories(domiva_termination PUBLIC ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(domiva_termination PUBLIC domiva_base Qt6::Core)

add_executable(domiva ${CMAKE_CURRENT_LIST_DIR}/main.cpp)
target_link_libraries(domiva PRIVATE domiva_ui domiva_termination Qt6::Widgets)
install(TARGETS domiva RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
