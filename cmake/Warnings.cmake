# Warnings for every target of the project (not for third-party code built
# alongside, which is added with its own flags).
add_compile_options(-Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion
                    -Wnon-virtual-dtor -Wold-style-cast -Wcast-align)
if(QVR_WERROR)
    add_compile_options(-Werror)
endif()
