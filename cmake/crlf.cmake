# cmake -DIN=FILE -DOUT=FILE -P crlf.cmake: copies a text with CR LF line ends, as Windows keeps text.
file(READ "${IN}" text)
string(REPLACE "\r\n" "\n" text "${text}")
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE "${OUT}" "${text}")
