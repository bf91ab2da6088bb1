# cmake -DBUILDS="<x86 build folder>;<x64 build folder>" -P java/package.cmake
#
# Makes what Java users take from dist/ once both cross builds are done: quorlink-keyboard.jar
# with the classes of the builds and both architectures' DLLs under natives/, its POM, its
# -sources and -javadoc jars, and the demo jar, which finds the main jar beside it.
cmake_minimum_required(VERSION 3.21)
if(NOT DEFINED BUILDS)
  message(FATAL_ERROR "package.cmake: BUILDS is not set")
endif()

set(QL_GROUP_ID com.morvane.quorlink)
set(QL_ARTIFACT_ID quorlink-keyboard)
set(QL_MODULE_NAME com.morvane.quorlink.keyboard)
set(QL_URL https://quorlink.morvane.com/keyboard)
set(QL_SCM_URL https://git.morvane.com/quorlink/quorlink-keyboard.git)
set(licence ${CMAKE_CURRENT_LIST_DIR}/../LICENSE)
set(platform_x86 windows-x86)
set(platform_x64 windows-x86_64)
set(dlls TonePort ChordGate)

# Each build's settings; every build must agree on the version and on dist/.
unset(version)
foreach(build IN LISTS BUILDS)
  set(settings ${build}/java/package-settings.cmake)
  if(NOT EXISTS ${settings})
    message(FATAL_ERROR "package.cmake: ${settings} is missing; configure and build ${build} first")
  endif()
  include(${settings})
  if(DEFINED version AND NOT version STREQUAL QL_VERSION)
    message(FATAL_ERROR "package.cmake: ${build} is version ${QL_VERSION}, another build ${version}")
  endif()
  set(version ${QL_VERSION})
  set(dist_${QL_ARCH} ${QL_DIST_DIR})
endforeach()
foreach(arch x86 x64)
  if(NOT DEFINED dist_${arch})
    message(FATAL_ERROR "package.cmake: no ${arch} build among ${BUILDS}")
  endif()
endforeach()

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    list(JOIN ARGN " " command)
    message(FATAL_ERROR "package.cmake: failed (${result}): ${command}")
  endif()
endfunction()

set(src ${CMAKE_CURRENT_LIST_DIR}/src)
set(stage ${QL_PACKAGE_STAGE})
file(REMOVE_RECURSE ${stage})
file(MAKE_DIRECTORY ${stage} ${QL_JAR_DIR})

# The natives, and the version that names their cache folder.
foreach(arch x86 x64)
  foreach(dll IN LISTS dlls)
    if(NOT EXISTS ${dist_${arch}}/${dll}.dll)
      message(FATAL_ERROR "package.cmake: ${dist_${arch}}/${dll}.dll is missing")
    endif()
    file(COPY ${dist_${arch}}/${dll}.dll DESTINATION ${stage}/natives/${platform_${arch}})
  endforeach()
endforeach()
file(WRITE ${stage}/natives/version "${version}\n")
# The licence travels in every jar, where Maven and a user's licence scanner look for it.
configure_file(${licence} ${stage}/licence/META-INF/LICENSE COPYONLY)

# Main-Class: the support command, so that `java -jar quorlink-keyboard.jar` checks a machine.
file(WRITE ${stage}/manifest.txt
  "Main-Class: com.morvane.quorlink.support.SupportCommand\n"
  "Implementation-Title: ${QL_PRODUCT_NAME}\n"
  "Implementation-Version: ${version}\n"
  "Automatic-Module-Name: ${QL_MODULE_NAME}\n")
set(jar ${QL_JAR_DIR}/${QL_ARTIFACT_ID}.jar)
file(REMOVE ${jar})
run(${QL_JAR_TOOL} --create --file ${jar} --manifest ${stage}/manifest.txt
    -C ${QL_JAVA_CLASSES} . -C ${stage} natives -C ${stage}/licence META-INF)

run(${QL_JAR_TOOL} --create --file ${QL_JAR_DIR}/${QL_ARTIFACT_ID}-sources.jar -C ${src} . -C ${stage}/licence META-INF)

# The Javadoc of the public packages (the Java layer and the native declarations); the loader's
# package is not API. tests/java/run.sh also fails on any doclint warning.
run(${QL_JAVADOC} -quiet -Xdoclint:all -d ${stage}/javadoc -sourcepath ${src}
    -doctitle "${QL_PRODUCT_NAME} ${version}" -windowtitle "${QL_PRODUCT_NAME} ${version}"
    -subpackages com.morvane.quorlink.keyboard:com.morvane.quorlink.services)
run(${QL_JAR_TOOL} --create --file ${QL_JAR_DIR}/${QL_ARTIFACT_ID}-javadoc.jar -C ${stage}/javadoc .
    -C ${stage}/licence META-INF)

configure_file(${CMAKE_CURRENT_LIST_DIR}/pom.xml.in ${QL_JAR_DIR}/${QL_ARTIFACT_ID}.pom @ONLY)

# The demo: its manifest puts the main jar beside it on the class path, so the jar alone runs it.
file(WRITE ${stage}/demo-manifest.txt
  "Class-Path: ${QL_ARTIFACT_ID}.jar\n"
  "Implementation-Title: ${QL_PRODUCT_NAME} demo\n"
  "Implementation-Version: ${version}\n")
run(${QL_JAVAC} --release 8 -cp ${QL_JAVA_CLASSES} -d ${stage}/demo-classes
    ${CMAKE_CURRENT_LIST_DIR}/demo/com/morvane/quorlink/demo/KeyboardDemo.java)
set(demo_jar ${QL_JAR_DIR}/${QL_ARTIFACT_ID}-demo.jar)
file(REMOVE ${demo_jar})
run(${QL_JAR_TOOL} --create --file ${demo_jar} --manifest ${stage}/demo-manifest.txt
    --main-class com.morvane.quorlink.demo.KeyboardDemo -C ${stage}/demo-classes . -C ${stage}/licence META-INF)

message(STATUS "package.cmake: ${QL_ARTIFACT_ID} ${version} in ${QL_JAR_DIR}: ${QL_ARTIFACT_ID}.jar (natives "
               "${platform_x86}, ${platform_x64}), ${QL_ARTIFACT_ID}.pom, -sources.jar, -javadoc.jar, -demo.jar")
