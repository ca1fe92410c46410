# Installs the built tree into a scratch prefix, then configures and builds a
# consumer project against it twice: once through find_package, once through
# pkg-config; it embeds the control on the real engine through the installed
# API alone. Fails loudly when either consumer cannot build or run. With the
# desktop viewer, also builds and runs a Qt program on Vistel::widget, and
# checks that the demo is installed and that the installed viewer finds it.
file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed: ${ARGN}\n${out}\n${err}")
  endif()
  set(LAST_OUTPUT "${out}" PARENT_SCOPE)
endfunction()

run(${CMAKE_COMMAND} --install ${VISTEL_BINARY_DIR} --prefix ${prefix})

set(consumer ${VISTEL_SOURCE_DIR}/tests/install/consumer)
run(${CMAKE_COMMAND} -S ${consumer} -B ${WORK_DIR}/cmake-build -DCMAKE_PREFIX_PATH=${prefix})
run(${CMAKE_COMMAND} --build ${WORK_DIR}/cmake-build)
run(${WORK_DIR}/cmake-build/vistel-consumer)
if(NOT LAST_OUTPUT MATCHES "consumer ok")
  message(FATAL_ERROR "find_package consumer printed: ${LAST_OUTPUT}")
endif()

find_program(PKG_CONFIG pkg-config REQUIRED)
set(ENV{PKG_CONFIG_PATH} "${prefix}/lib/pkgconfig:${prefix}/lib/x86_64-linux-gnu/pkgconfig")
execute_process(COMMAND ${PKG_CONFIG} --cflags --libs vistel
  RESULT_VARIABLE rc OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "pkg-config does not know vistel")
endif()
separate_arguments(flags UNIX_COMMAND "${flags}")
run(c++ -std=c++20 ${consumer}/main.cpp -o ${WORK_DIR}/pc-consumer ${flags})
run(${WORK_DIR}/pc-consumer)
if(NOT LAST_OUTPUT MATCHES "consumer ok")
  message(FATAL_ERROR "pkg-config consumer printed: ${LAST_OUTPUT}")
endif()

# Only the embedding API is installed: the private headers stay behind.
file(GLOB_RECURSE installed_headers RELATIVE ${prefix}/include/vistel ${prefix}/include/vistel/*.h)
list(LENGTH installed_headers installed_count)
foreach(private_header scene/warp_raster.h calibration/fft.h scene/event_queue.h widget/about_box.h)
  if(EXISTS ${prefix}/include/vistel/${private_header})
    message(FATAL_ERROR "the private header ${private_header} is installed")
  endif()
endforeach()
message(STATUS "${installed_count} headers installed: ${installed_headers}")

if(VISTEL_VIEWER)
  # A Qt program on the installed widget library, drawn off screen.
  set(widget_consumer ${VISTEL_SOURCE_DIR}/tests/install/widget-consumer)
  run(${CMAKE_COMMAND} -S ${widget_consumer} -B ${WORK_DIR}/widget-build -DCMAKE_PREFIX_PATH=${prefix})
  run(${CMAKE_COMMAND} --build ${WORK_DIR}/widget-build)
  run(${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen ${WORK_DIR}/widget-build/vistel-widget-consumer)
  if(NOT LAST_OUTPUT MATCHES "widget consumer ok")
    message(FATAL_ERROR "the widget consumer printed: ${LAST_OUTPUT}")
  endif()

  foreach(name demo.xml left.jpg right.jpg)
    if(NOT EXISTS ${prefix}/share/vistel/demo/${name})
      message(FATAL_ERROR "the demo's ${name} is not installed under ${prefix}/share/vistel/demo")
    endif()
  endforeach()
  run(${prefix}/bin/vistel-viewer --help)
  string(FIND "${LAST_OUTPUT}" "the bundled demo, ${prefix}/share/vistel/demo/demo.xml." found)
  if(found EQUAL -1)
    message(FATAL_ERROR "the installed viewer does not name its installed demo:\n${LAST_OUTPUT}")
  endif()
endif()
