# Soak run of the real daemon and module (tests/vm/guest/soak.cc). Never part
# of ctest: run it with
#
#   cmake --build build --target soak            # every kernel, one after another
#   cmake --build build --target soak-<kid>      # one kernel (kid: KVER as a C name)
#   ZT_SOAK_SECONDS=3600 cmake --build build --target soak
#
# The environment's ZT_SOAK_SECONDS, read when the target runs, wins over
# the cache variable, so a longer run needs no reconfigure. Included from
# tests/vm/CMakeLists.txt after zt_guest_executable() and the module targets.
include_guard(GLOBAL)

set(ZT_SOAK_SECONDS 600 CACHE STRING
  "Length of one soak run, seconds (the environment's ZT_SOAK_SECONDS wins at run time)")

zt_guest_executable(zt_soak guest/soak.cc)
target_include_directories(zt_soak PRIVATE ${PROJECT_SOURCE_DIR}/tests/common)

# The length is settled when the target runs: the VM's limit is the run
# plus a margin for boot, set-up and stop under software emulation.
# One line without semicolons, which neither Ninja nor a CMake list keeps.
set(zt_soak_run [=[s=${ZT_SOAK_SECONDS:-$1} scale=$2 && shift 2 && test "$s" -gt 0 2>/dev/null ||
! echo "soak: ZT_SOAK_SECONDS must be a whole number of seconds, not '$s'" >&2 &&
exec "$@" --timeout $(((s + s / 4 + 900) * scale)) --append "zt_soak_seconds=$s"]=])
string(REPLACE "\n" " " zt_soak_run "${zt_soak_run}")

add_custom_target(soak)
if(NOT ZT_VM_KERNEL_LIST)
  add_custom_command(TARGET soak POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E echo "soak: no usable kernel found")
endif()
foreach(kver IN LISTS ZT_VM_KERNEL_LIST)
  string(MAKE_C_IDENTIFIER "${kver}" kid)
  # USES_TERMINAL: Ninja's console pool, one guest at a time.
  add_custom_target(soak-${kid}
    COMMAND sh -c "${zt_soak_run}" soak ${ZT_SOAK_SECONDS} ${ZT_VM_TIMEOUT_SCALE}
            ${ZT_VM_RUN} --kernel ${kver} --suite ${CMAKE_CURRENT_SOURCE_DIR}/suites/soak.sh
            --mem 2048
            --log ${CMAKE_BINARY_DIR}/vm-logs/${kver}/soak.log
            --module ${CMAKE_BINARY_DIR}/kmod/${kver}/zentrope.ko
            --bin $<TARGET_FILE:zt_soak> $<TARGET_FILE:zt_tool>
            --file ${CMAKE_BINARY_DIR}/zentroped ${PROJECT_SOURCE_DIR}/tools/mk_usr_interp_name_list
            --show
    DEPENDS zt_kmod_${kid} zt_soak zt_tool zt_zentroped
    USES_TERMINAL VERBATIM)
  add_dependencies(soak soak-${kid})
endforeach()
