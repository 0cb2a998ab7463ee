# One interface target carries the language level, the warnings and the strict
# Qt switches, so every target of the project is built the same way.
add_library(veltrane_settings INTERFACE)
target_compile_features(veltrane_settings INTERFACE cxx_std_20)
target_compile_definitions(veltrane_settings INTERFACE
  QT_NO_CAST_FROM_ASCII
  QT_NO_CAST_TO_ASCII
  QT_NO_CAST_FROM_BYTEARRAY
  QT_NO_CONTEXTLESS_CONNECT
  QT_NO_NARROWING_CONVERSIONS_IN_CONNECT
  QT_NO_FOREACH
  QT_NO_KEYWORDS
  QT_STRICT_ITERATORS
  QT_USE_QSTRINGBUILDER)
if(MSVC)
  target_compile_options(veltrane_settings INTERFACE /W4 /utf-8)
  if(VELTRANE_WARNINGS_AS_ERRORS)
    target_compile_options(veltrane_settings INTERFACE /WX)
  endif()
else()
  target_compile_options(veltrane_settings INTERFACE -Wall -Wextra -Wpedantic)
  if(VELTRANE_WARNINGS_AS_ERRORS)
    target_compile_options(veltrane_settings INTERFACE -Werror)
  endif()
endif()
