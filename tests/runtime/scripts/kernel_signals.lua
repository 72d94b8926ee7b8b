-- Test kernel: system signals and control calls as scripts see them, across
-- one reboot.
local clip = _get_userland_clipboard_text()
if clip ~= "" then
  -- The second boot: the clipboard text and the unique counter outlived the reboot.
  printh("after reboot: clipboard " .. #clip .. " " .. clip:sub(1, 4) .. ", 333: " .. stat(333))
  _signal(33)
  flip()
end

printh("kernel: boot")
_apply_system_settings(5)
_apply_system_settings(5)  -- reported once per process

local before = stat(986)
_signal(36)
printh("36: " .. before .. " -> " .. stat(986))

-- The heap at this moment stops counting against the process; only once.
local junk = {}
for i = 1, 20000 do junk[i] = {i} end
local with_junk = stat(0)
_signal(38)
local based = stat(0)
local more = {}
for i = 1, 20000 do more[i] = {i} end
_signal(38)
local kept = stat(0)
printh("38: baseline taken " .. tostring(based < with_junk - 500000) .. ", kept " .. tostring(kept > based + 500000))

-- Ids 2 and 3 are used up, so the booster is listed with its own priority.
for i = 1, 2 do _run_process_slice(_create_process_from_code("", "spare", "/ram/spare.lua"), 1) end
local booster = _create_process_from_code("_signal(43) flip() _signal(44) flip() while true do flip() end",
  "booster", "/ram/booster.lua")
local function priority(id)
  for _, e in ipairs(_get_process_list()) do
    if e.id == id then return e.priority end
  end
end
local seen = {priority(booster)}
_run_process_slice(booster, 1)
seen[2] = priority(booster)
flip()
_run_process_slice(booster, 1)
seen[3] = priority(booster)
printh("43/44: " .. table.concat(seen, " "))

printh("333: " .. stat(333) .. ", date: " .. date("!%Y %j", "2024-12-31 00:00:00"))
_set_userland_clipboard_text("kept\0!")
_signal(34)
while true do flip() end
