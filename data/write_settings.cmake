# cmake -DOUT=path -P write_settings.cmake: a language settings file selecting
# Chinese (one line "0", CR LF).
file(WRITE "${OUT}" "0\r\n")
