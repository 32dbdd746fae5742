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

# The digest store's nodes are poisoned when freed, so a reader that follows
# a freed node faults (and fails the suite) instead of reading stale bytes.
zt_vm_suite(hash_feed SCRIPT suites/hash_feed.sh BINS zt_guest_hash_feed
  TIMEOUT 1200 MEM 1536 APPEND "slub_debug=FZP,hash_sha1_node_cache")

include(${PROJECT_SOURCE_DIR}/bench/vm/bench.cmake)

# The block-event channel, through the test-only driver zt_evtest.ko built
# from the module's own channel code; the guest plays the daemon.
zt_vm_module_variant(evtest MAKE_ARGS ZT_TEST=1 KO zt_evtest.ko)
zt_guest_executable(zt_guest_listener guest/listener.cc)
target_include_directories(zt_guest_listener PRIVATE ${PROJECT_SOURCE_DIR}/kmod)
zt_vm_suite(events SCRIPT suites/events.sh MODULES evtest
  BINS zt_guest_listener TIMEOUT 600 MEM 1024)

# Program enforcement: execs, scripts and interpreter opens of real programs.
add_executable(zt_tool guest/zt_tool.cc)
target_compile_options(zt_tool PRIVATE -Wall -Wextra -O2)
target_link_options(zt_tool PRIVATE -static -pthread)
set_target_properties(zt_tool PROPERTIES POSITION_INDEPENDENT_CODE OFF
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/guest)
add_dependencies(zt_vm_guests zt_tool)
zt_guest_executable(zt_guest_exec guest/exec_test.cc)
target_include_directories(zt_guest_exec PRIVATE ${PROJECT_SOURCE_DIR}/kmod)
zt_vm_suite(exec SCRIPT suites/exec.sh BINS zt_guest_exec zt_tool
  TIMEOUT 1200 MEM 1024)

# The connection filter and DNS inspection on the guest's loopback, and the
# ways round the rules. The loader's way needs a dynamic program, with the
# host's loader and C library; guest programs are otherwise static.
add_executable(zt_tool_dyn guest/zt_tool.cc)
target_compile_options(zt_tool_dyn PRIVATE -Wall -Wextra -O2)
target_link_options(zt_tool_dyn PRIVATE -static-libstdc++ -static-libgcc
  -Wl,--as-needed -pthread)
set_target_properties(zt_tool_dyn PROPERTIES
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/guest)
add_dependencies(zt_vm_guests zt_tool_dyn)
get_filename_component(zt_loader /lib64/ld-linux-x86-64.so.2 REALPATH)
get_filename_component(zt_libc /lib/x86_64-linux-gnu/libc.so.6 REALPATH)
zt_guest_executable(zt_guest_net guest/net_test.cc)
target_include_directories(zt_guest_net PRIVATE ${PROJECT_SOURCE_DIR}/kmod
  ${PROJECT_SOURCE_DIR}/tests/common)
zt_vm_suite(net SCRIPT suites/net.sh BINS zt_guest_net zt_tool
  FILES ${CMAKE_BINARY_DIR}/guest/zt_tool_dyn ${zt_loader} ${zt_libc}
        ${PROJECT_SOURCE_DIR}/tools/mk_usr_interp_name_list
  TIMEOUT 900 MEM 1024)

# The real daemon, bundled with the module of every kernel, from start to
# stop.
zt_guest_executable(zt_guest_daemon guest/daemon_test.cc)
target_include_directories(zt_guest_daemon PRIVATE ${PROJECT_SOURCE_DIR}/kmod
  ${PROJECT_SOURCE_DIR}/tests/common)
file(GLOB zt_default_config ${PROJECT_SOURCE_DIR}/config/*.txt)
zt_vm_suite(daemon SCRIPT suites/daemon.sh BINS zt_guest_daemon zt_tool
  FILES ${CMAKE_BINARY_DIR}/zentroped ${CMAKE_BINARY_DIR}/guest/zentroped-kylin
        ${PROJECT_SOURCE_DIR}/tools/mk_usr_interp_name_list ${zt_default_config}
  TIMEOUT 900 MEM 1024)

# The Debian package (target zt_deb, which the build-module fixtures build
# with the guests), installed by hand in a guest without systemd or dpkg;
# its daemon run the way zentroped.service has systemd run it.
if(TARGET zt_zentroped)
  zt_guest_executable(zt_guest_package guest/package_test.cc)
  add_dependencies(zt_vm_guests zt_deb)
  zt_vm_suite(package SCRIPT suites/package.sh BINS zt_guest_package
    FILES ${ZT_DEB} TIMEOUT 300 MEM 1024)

  # The same package with apt, under the real systemd of a Debian system
  # (scripts/vm/debian-image.sh, built once per machine by this fixture).
  add_test(NAME vm.debian-image COMMAND ${ZT_VM_SCRIPTS}/debian-image.sh)
  set_tests_properties(vm.debian-image PROPERTIES
    FIXTURES_SETUP zt_debian_image LABELS vm TIMEOUT 1800)
  zt_vm_suite(debian SCRIPT suites/debian.sh DEBIAN
    KERNEL_MODULES virtio_pci virtio_blk crc32c_generic ext4
    FILES ${ZT_DEB} debian/run.sh debian/steps.sh
    APPEND systemd.log_color=0
    TIMEOUT 1200 MEM 2048)
endif()
