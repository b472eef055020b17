print("hello from Lua")
return "hello, " .. _VERSION
