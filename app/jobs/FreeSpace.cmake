# The free-space job thread; UUIDs come from rpcrt4, the folder deletion from shell32.
target_sources(pellumar_jobs PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/CleanFreeSpaceThread.cpp)
target_link_libraries(pellumar_jobs PUBLIC rpcrt4 shell32)
