# Safe handling of the shared files and the bundle's version information.
korvel_add_test(SafeFileTest SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/SafeFileTest.cpp)

korvel_add_test(BundleTest SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/BundleTest.cpp)
target_compile_definitions(BundleTest PRIVATE
  KORVEL_TEST_BUNDLE_DIR="${KORVEL_BUNDLE_DIR}"
  KORVEL_TEST_SHORT_VERSION="${KORVEL_SHORT_VERSION}"
  KORVEL_TEST_BUILD_VERSION="${KORVEL_BUILD_VERSION}"
  KORVEL_TEST_COMPONENT_VERSION=${KORVEL_COMPONENT_VERSION})
