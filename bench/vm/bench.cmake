# VM benchmark of the binary digest feed. Never part of ctest: run it with
#
#   cmake --build build --target bench-vm
#
# which boots one guest per kernel, one after another, and prints the
# guest's "BENCH ..." lines. Included from tests/vm/suites.cmake, where
# zt_guest_executable() and the module targets are defined.
include_guard(GLOBAL)

# Every benchmark program uses the guest tests' helpers.
foreach(name store_feed hash exec net daemon)
  zt_guest_executable(zt_bench_${name} ${CMAKE_CURRENT_LIST_DIR}/${name}_bench.cc)
  target_include_directories(zt_bench_${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests/vm/guest)
endforeach()

add_custom_target(bench-vm)
if(NOT ZT_VM_KERNEL_LIST)
  add_custom_command(TARGET bench-vm POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E echo "bench-vm: no usable kernel found")
endif()
foreach(kver IN LISTS ZT_VM_KERNEL_LIST)
  string(MAKE_C_IDENTIFIER "${kver}" kid)
  # USES_TERMINAL puts every boot in Ninja's console pool: one guest at a
  # time, so two benchmarks never share the host's cores.
  add_custom_target(bench-vm-${kid}
    COMMAND ${ZT_VM_SCRIPTS}/run-vm.sh
            --kernel ${kver} --suite ${CMAKE_CURRENT_LIST_DIR}/store_bench.sh
            --timeout 2400 --mem 2048
            --log ${CMAKE_BINARY_DIR}/vm-logs/${kver}/bench_store.log
            --module ${CMAKE_BINARY_DIR}/kmod/${kver}/zentrope.ko
            --bin $<TARGET_FILE:zt_bench_store_feed> --show
    DEPENDS zt_kmod_${kid} zt_bench_store_feed
    USES_TERMINAL VERBATIM)
  add_dependencies(bench-vm bench-vm-${kid})
endforeach()

# VM benchmark of file hashing through the test-only driver (the hashtest
# module variant): in-kernel SHA-1 against sha1sum, cached-mark lookup
# against a full hash. `cmake --build build --target bench-vm-hash` runs it
# alone; bench-vm runs it too.
add_custom_target(bench-vm-hash)
add_dependencies(bench-vm bench-vm-hash)
foreach(kver IN LISTS ZT_VM_KERNEL_LIST)
  string(MAKE_C_IDENTIFIER "${kver}" kid)
  add_custom_target(bench-vm-hash-${kid}
    COMMAND ${ZT_VM_SCRIPTS}/run-vm.sh
            --kernel ${kver} --suite ${CMAKE_CURRENT_LIST_DIR}/hash_bench.sh
            --timeout 2400 --mem 1536
            --log ${CMAKE_BINARY_DIR}/vm-logs/${kver}/hash_bench.log
            --module ${CMAKE_BINARY_DIR}/kmod-hashtest/${kver}/zt_hashtest.ko
            --bin $<TARGET_FILE:zt_bench_hash> --show
    DEPENDS zt_kmod_hashtest_${kid} zt_bench_hash
    USES_TERMINAL VERBATIM)
  add_dependencies(bench-vm-hash bench-vm-hash-${kid})
endforeach()

# VM benchmarks of the exec check and of the network hooks: `cmake --build
# build --target bench-vm-exec` or bench-vm-net (wall time under TCG), and
# bench-vm-exec-icount or bench-vm-net-icount (one vCPU, instruction-counted
# time, for ratios that repeat); bench-vm runs them all.
foreach(run exec exec-icount net net-icount)
  string(REGEX REPLACE "-icount$" "" name ${run})
  set(tgt bench-vm-${run})
  set(envs)
  if(run MATCHES "icount$")
    set(envs ZT_VM_SMP=1 ZT_VM_ICOUNT=0)
  endif()
  add_custom_target(${tgt})
  add_dependencies(bench-vm ${tgt})
  foreach(kver IN LISTS ZT_VM_KERNEL_LIST)
    string(MAKE_C_IDENTIFIER "${kver}" kid)
    add_custom_target(${tgt}-${kid}
      COMMAND ${CMAKE_COMMAND} -E env ${envs} ${ZT_VM_SCRIPTS}/run-vm.sh
              --kernel ${kver} --suite ${CMAKE_CURRENT_LIST_DIR}/${name}_bench.sh
              --timeout 3000 --mem 2048
              --log ${CMAKE_BINARY_DIR}/vm-logs/${kver}/${tgt}.log
              --module ${CMAKE_BINARY_DIR}/kmod/${kver}/zentrope.ko
              --bin $<TARGET_FILE:zt_bench_${name}> $<TARGET_FILE:zt_tool> --show
      DEPENDS zt_kmod_${kid} zt_bench_${name} zt_tool
      USES_TERMINAL VERBATIM)
    add_dependencies(${tgt} ${tgt}-${kid})
  endforeach()
endforeach()

# VM benchmark of the real daemon: `cmake --build build --target
# bench-vm-daemon` (wall time; bench-vm runs it too).
add_custom_target(bench-vm-daemon)
add_dependencies(bench-vm bench-vm-daemon)
foreach(kver IN LISTS ZT_VM_KERNEL_LIST)
  string(MAKE_C_IDENTIFIER "${kver}" kid)
  add_custom_target(bench-vm-daemon-${kid}
    COMMAND ${ZT_VM_SCRIPTS}/run-vm.sh
            --kernel ${kver} --suite ${CMAKE_CURRENT_LIST_DIR}/daemon_bench.sh
            --timeout 3000 --mem 2048
            --log ${CMAKE_BINARY_DIR}/vm-logs/${kver}/bench-vm-daemon.log
            --module ${CMAKE_BINARY_DIR}/kmod/${kver}/zentrope.ko
            --bin $<TARGET_FILE:zt_bench_daemon>
            --file ${CMAKE_BINARY_DIR}/zentroped ${PROJECT_SOURCE_DIR}/tools/mk_usr_interp_name_list
            --show
    DEPENDS zt_kmod_${kid} zt_bench_daemon zt_zentroped
    USES_TERMINAL VERBATIM)
  add_dependencies(bench-vm-daemon bench-vm-daemon-${kid})
endforeach()

# Every VM benchmark on each kernel in two boots (bench/vm/run-all.sh):
# `cmake --build build --target bench-all`; scripts/bench.sh runs it with
# the host benchmark and writes bench/RESULTS.md from the logs.
add_custom_target(bench-all)
foreach(kver IN LISTS ZT_VM_KERNEL_LIST)
  string(MAKE_C_IDENTIFIER "${kver}" kid)
  set(files)
  foreach(b store hash exec net daemon)
    list(APPEND files ${CMAKE_CURRENT_LIST_DIR}/${b}_bench.sh)
  endforeach()
  add_custom_target(bench-all-${kid}
    COMMAND ${ZT_VM_ENV} ${CMAKE_CURRENT_LIST_DIR}/run-all.sh
            ${kver} ${CMAKE_BINARY_DIR}/vm-logs/${kver}
            --timeout 3600 --mem 2048
            --module ${CMAKE_BINARY_DIR}/kmod/${kver}/zentrope.ko
                     ${CMAKE_BINARY_DIR}/kmod-hashtest/${kver}/zt_hashtest.ko
            --bin $<TARGET_FILE:zt_bench_store_feed> $<TARGET_FILE:zt_bench_hash>
                  $<TARGET_FILE:zt_bench_exec> $<TARGET_FILE:zt_bench_net>
                  $<TARGET_FILE:zt_bench_daemon> $<TARGET_FILE:zt_tool>
            --file ${files} ${CMAKE_BINARY_DIR}/zentroped
                   ${PROJECT_SOURCE_DIR}/tools/mk_usr_interp_name_list
    DEPENDS zt_kmod_${kid} zt_kmod_hashtest_${kid} zt_bench_store_feed zt_bench_hash
            zt_bench_exec zt_bench_net zt_bench_daemon zt_tool zt_zentroped
    USES_TERMINAL VERBATIM)
  add_dependencies(bench-all bench-all-${kid})
endforeach()
