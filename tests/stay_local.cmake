# Read by ctest before it runs anything: programs under test keep to this machine (no broadcast
# searches on its networks, no questions to its router) unless a test says otherwise, as the
# tests inside network namespaces do.
if(NOT DEFINED ENV{ORVEL_DISCOVERY})
  set(ENV{ORVEL_DISCOVERY} loopback)
endif()
