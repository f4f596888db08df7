# Queues, timers, named notifications and the system log.
korvel_add_test(platform_dispatch_virtual_tests
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/DispatchVirtualTests.cpp
  LIBS korvel_virtual_dispatch)
korvel_add_test(platform_dispatch_system_tests
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/DispatchSystemTests.cpp)
korvel_add_test(platform_notify_tests
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/NotifyTests.cpp
  LOCKS tmp-notify)
korvel_add_test(platform_systemlog_tests
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/SystemLogTests.cpp)
