# The sync cycle and its timer: the feed applied to the store. A library of its own so the
# readers and transports build and test without the store.
domiva_subsystem(sync_cycle
    ${CMAKE_CURRENT_LIST_DIR}/refreshtimer.h
    ${CMAKE_CURRENT_LIST_DIR}/refreshtimer.cpp
    ${CMAKE_CURRENT_LIST_DIR}/synccycle.h
    ${CMAKE_CURRENT_LIST_DIR}/synccycle.cpp
)
target_link_libraries(domiva_sync_cycle PUBLIC domiva_sync domiva_store domiva_settings domiva_env)
