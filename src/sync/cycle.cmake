target_sources(domiva_sync PRIVATE
    refreshtimer.h refreshtimer.cpp
)
