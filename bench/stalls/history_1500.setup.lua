-- The kernel turns the history on and stores 1,500 versions of one host file.
_apply_system_settings({anywhen = true})
for i = 1, 1500 do store("/hv.txt", "version " .. i) end
