# Queues, timers, named notifications and the system log.
korvel_add_test(platform_dispatch_virtual_tests
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/DispatchVirtualTest.cpp
  LIBS korvel_virtual_dispatch)
korvel_add_test(platform_dispatch_system_tests
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/DispatchSystemTest.cpp)
korvel_add_test(platform_notify_tests
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/NotifyTest.cpp
  LOCKS tmp-notify)
korvel_add_test(platform_systemlog_tests
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/SystemLogTest.cpp)
