# VM suites of the control entries and the binary digest feed, and (from
# bench/vm/bench.cmake) the VM benchmark. Included by tests/vm/CMakeLists.txt
# after zt_guest_executable() and zt_vm_suite() are defined.
#
# Timeouts are generous: under software emulation the guest runs 10-30
# times slower than the host, and ctest may boot two guests at once.

zt_guest_executable(zt_guest_ctl_files guest/ctl_files_test.cc)
zt_guest_executable(zt_guest_hash_feed guest/hash_feed_test.cc)

zt_vm_suite(ctl_files SCRIPT suites/ctl_files.sh BINS zt_guest_ctl_files
  TIMEOUT 900 MEM 1024)

# Like zt_vm_suite(), plus APPEND: more kernel command line arguments.
function(zt_vm_suite_append name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "SCRIPT;TIMEOUT;MEM;APPEND" "BINS")
  get_filename_component(script ${arg_SCRIPT} ABSOLUTE BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
  set(bins)
  foreach(bin IN LISTS arg_BINS)
    list(APPEND bins $<TARGET_FILE:${bin}>)
  endforeach()
  math(EXPR ctest_timeout "${arg_TIMEOUT} + 120")
  foreach(kver IN LISTS ZT_VM_KERNEL_LIST)
    string(MAKE_C_IDENTIFIER "${kver}" kid)
    add_test(NAME vm.${kver}.${name}
      COMMAND ${ZT_VM_SCRIPTS}/run-vm.sh
              --kernel ${kver} --suite ${script}
              --timeout ${arg_TIMEOUT} --mem ${arg_MEM}
              --log ${CMAKE_BINARY_DIR}/vm-logs/${kver}/${name}.log
              --append ${arg_APPEND}
              --module ${CMAKE_BINARY_DIR}/kmod/${kver}/zentrope.ko
              --bin ${bins})
    set_tests_properties(vm.${kver}.${name} PROPERTIES
      LABELS vm TIMEOUT ${ctest_timeout} FIXTURES_REQUIRED zt_vm_${kid})
  endforeach()
endfunction()

# The digest store's nodes are poisoned when freed, so a reader that follows
# a freed node faults (and fails the suite) instead of reading stale bytes.
zt_vm_suite_append(hash_feed SCRIPT suites/hash_feed.sh BINS zt_guest_hash_feed
  TIMEOUT 1200 MEM 1536 APPEND "slub_debug=FZP,hash_sha1_node_cache")

include(${PROJECT_SOURCE_DIR}/bench/vm/bench.cmake)
