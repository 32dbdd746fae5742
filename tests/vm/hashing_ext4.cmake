# The hashing_ext4 suite: the hashing suite on ext4.
# Included by tests/vm/CMakeLists.txt once the hashtest module variant is
# declared.
#
# Its two ext4 images are made here on the host, by mkfs.ext4 (e2fsprogs),
# and shipped in the initramfs; the guest mounts them from loop devices, so
# the images in the build tree are never changed. 4 KiB blocks with 256-byte
# inodes (the usual layout), and 1 KiB blocks with 128-byte inodes, whose
# timestamps have whole seconds only and no room for attributes in the inode.

find_program(ZT_MKFS_EXT4 mkfs.ext4 PATHS /sbin /usr/sbin)
if(NOT ZT_MKFS_EXT4)
  message(WARNING "tests/vm: no mkfs.ext4 (install e2fsprogs); hashing_ext4 not added")
  return()
endif()

set(zt_ext4_images)
foreach(layout "4096 256" "1024 128")
  separate_arguments(layout)
  list(GET layout 0 block)
  list(GET layout 1 inode)
  set(img ${CMAKE_BINARY_DIR}/vm-images/ext4-b${block}-i${inode}.img)
  add_custom_command(
    OUTPUT ${img}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/vm-images
    COMMAND ${CMAKE_COMMAND} -E rm -f ${img}
    COMMAND ${ZT_MKFS_EXT4} -q -F -b ${block} -I ${inode}
            -E lazy_itable_init=0,lazy_journal_init=0 ${img} 32M
    COMMENT "Making the ext4 image ${img}"
    VERBATIM)
  list(APPEND zt_ext4_images ${img})
endforeach()
add_custom_target(zt_vm_ext4_images DEPENDS ${zt_ext4_images})
# The build-module fixture builds the guest programs; the images go with them.
add_dependencies(zt_vm_guests zt_vm_ext4_images)

# The hashing suite's program and script, on the images.
zt_vm_suite(hashing_ext4 SCRIPT suites/hashing_ext4.sh MODULES hashtest
  BINS zt_guest_hashing FILES ${zt_ext4_images} suites/hashing.sh
  KERNEL_MODULES loop ext4 overlay TIMEOUT 900 MEM 1024)
