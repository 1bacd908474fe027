# The dialogs depend on Qt Widgets alone, so their tests build them from source instead of
# linking all of domiva_ui.
set(domiva_dialogs_dir ${PROJECT_SOURCE_DIR}/src/ui)

domiva_add_test(tst_setupdialog
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_setupdialog.cpp
            ${domiva_dialogs_dir}/setupdialog.h ${domiva_dialogs_dir}/setupdialog.cpp
    LIBS Qt6::Widgets)
target_include_directories(tst_setupdialog PRIVATE ${PROJECT_SOURCE_DIR}/src)

domiva_add_test(tst_aboutdialog
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_aboutdialog.cpp
            ${domiva_dialogs_dir}/aboutdialog.h ${domiva_dialogs_dir}/aboutdialog.cpp
    LIBS Qt6::Widgets)
target_include_directories(tst_aboutdialog PRIVATE ${PROJECT_SOURCE_DIR}/src)
