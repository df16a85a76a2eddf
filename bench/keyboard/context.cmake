# Taps through the input context into a focused field (taps_context.cpp).
add_executable(bench_keyboard_context ${CMAKE_CURRENT_LIST_DIR}/taps_context.cpp)
target_link_libraries(bench_keyboard_context PRIVATE keyboard Qt${QT_VERSION_MAJOR}::Test)
