# Locates the dependencies from the interpreter that runs the build, so that
# the extension matches the installed torch and nanobind exactly.

find_package(Python 3.11 REQUIRED COMPONENTS Interpreter Development.Module)

function(kestrel_python_query out code)
  execute_process(COMMAND "${Python_EXECUTABLE}" -c "${code}"
                  OUTPUT_VARIABLE value OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  set(${out} "${value}" PARENT_SCOPE)
endfunction()

kestrel_python_query(KESTREL_TORCH_CMAKE "import torch.utils; print(torch.utils.cmake_prefix_path)")
kestrel_python_query(KESTREL_TORCH_LIB "import os, torch; print(os.path.join(os.path.dirname(torch.__file__), 'lib'))")
kestrel_python_query(KESTREL_NANOBIND_CMAKE "import nanobind; print(nanobind.cmake_dir())")
list(APPEND CMAKE_PREFIX_PATH "${KESTREL_TORCH_CMAKE}" "${KESTREL_NANOBIND_CMAKE}")

find_package(Torch REQUIRED)
find_package(nanobind CONFIG REQUIRED)
find_package(nlohmann_json 3.11 REQUIRED)
find_package(OpenMP REQUIRED COMPONENTS CXX)

function(kestrel_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
endfunction()

# Installs a module into the package; it finds torch's shared libraries in the
# sibling torch package at run time.
function(kestrel_python_module target)
  set_target_properties(${target} PROPERTIES INSTALL_RPATH "$ORIGIN:$ORIGIN/../torch/lib")
  install(TARGETS ${target} LIBRARY DESTINATION kestrel_cpp)
endfunction()
