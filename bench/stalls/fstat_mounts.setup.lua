local mounter = _create_process_from_code([==[
for i = 1, 100000 do mount("/mnt" .. i, "/ram") end
while true do flip() end]==], "mounter", "/ram/mounter.lua")
for i = 1, 400 do _run_process_slice(mounter, 1) flip() end
