// Start-up, the reset of the workstation and the
// per-frame driver with its reboot and shutdown sequences.
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <ctime>

#include "audio/audio.h"
#include "gfx/gfx.h"
#include "net/net.h"
#include "platform/platform.h"
#include "runtime/runtime.h"
#include "storage/storage.h"

uint64_t debug_system_frames_since_reboot;
runtime_app_t runtime_app;

static Process* root_process;
static int system_inited;

// ---------------------------------------------------------------------------
// Command line
// ---------------------------------------------------------------------------

static void copy_field(char* dst, size_t dst_size, const char* src) {
    snprintf(dst, dst_size, "%s", src);  // cut to the field, never past it
}

void process_arguments(int argc, char** argv) {
    config.display = -1;
    if (argc < 2) return;

    enum pending_value { NONE, HOME, DISPLAY, USER_ID, USERNAME, SESSION_TOKEN, SWALLOW };
    static const struct {
        const char* name;
        pending_value takes;
        int32_t* flag;
    } options[] = {
        {"-home", HOME, nullptr},
        {"-x", NONE, &config.headless},
        {"-use_system_rom", NONE, &config.use_system_rom},
        {"-display", DISPLAY, nullptr},
        {"-user_id", USER_ID, nullptr},
        {"-username", USERNAME, nullptr},
        {"-session_token", SESSION_TOKEN, nullptr},
    };

    pending_value pending = NONE;
    for (int i = 1; i < argc; i++) {
        const char* a = argv[i];
        if (a[0] == '|' || a[0] == '&' || a[0] == '>') break;
        if (a[0] == '-') {
            pending = SWALLOW;  // an unknown option swallows the next argument
            for (const auto& o : options) {
                if (strncmp(a, o.name, strlen(o.name)) != 0) continue;
                pending = o.takes;
                if (o.flag) *o.flag = 1;
                break;
            }
            continue;
        }
        switch (pending) {
            case HOME: {
                copy_field(config.home, sizeof config.home, a);
                char folder[HVX_PATH_MAX];
                copy_field(folder, sizeof folder, config.home);
                krio_fix_backslashes(folder);
                mkdir(folder, 0700);  // the per-user folder holds session tokens
                break;
            }
            case DISPLAY: sscanf(a, "%d", &config.display); break;
            case USER_ID: copy_field(config.user_id, sizeof config.user_id, a); break;
            case USERNAME: copy_field(config.username, sizeof config.username, a); break;
            case SESSION_TOKEN: copy_field(config.session_token, sizeof config.session_token, a); break;
            case SWALLOW: break;
            case NONE: copy_field(config.run_path, sizeof config.run_path, a); break;
        }
        pending = NONE;
    }
}

// ---------------------------------------------------------------------------
// Boot
// ---------------------------------------------------------------------------

// Ends captures that a reset or an exit would otherwise cut off mid-file.
static void end_captures() {
    if (gfx_app.gif_recording) {
        gif_end();
        gfx_app.gif_recording = 0;
    }
    if (gfx_app.audio_capture) {
        audio_capture_end();
        os_lock_audio();  // the audio callback reads the flag
        gfx_app.audio_capture = 0;
        os_unlock_audio();
    }
}

static void boot_system_rom() {
    krio_debug("looking for /system..\n");
    if (get_dat_file_count() < 2) {
        puts("sysrom.dat not found");
        krio_debug("sysrom.dat not found\n");
        halvoran_exit(1);
    }
    mount_ram_folder("/system");
    // The system ROM's entries carry their "system/" folder.
    if (populate_ram_folder_from_hvx_rom_buffer_ex("/system", "system/", get_dat_file(1), 0) != 0)
        krio_debug("the system ROM could not be read whole\n");

    const char* boot_path = "/system/boot.lua";
    pfile* f = pfopen(boot_path, "r");
    krio_debug("preparing to boot\n");
    if (!f) {
        puts("could not find /system/boot.lua");
        halvoran_exit(0);
    }
    int64_t size = pfile_size(boot_path, 0);
    if (size < 0 || size >= BUFFER_MAX_CAPACITY) size = 0;
    buffer* text = create_buffer_2((int32_t)size, 'b');
    int64_t got = size > 0 ? pfread(text->data, 1, size, f) : 0;
    text->length = (int32_t)(got > 0 ? got : 0);
    pfclose(f);
    const char* src = to_cstr(text);
    // Loaded as a NUL-terminated string: the text names its own chunk.
    const char* err = process_load_boot_text(root_process, src, strlen(src), src);
    if (err) {
        printf("error in /system/boot.lua\n%s\n", err);
        destroy_buffer(text);
        halvoran_exit(0);
    }
    destroy_buffer(text);
}

void clear_app_parts() {
    memset(&app, 0, sizeof app);
    memset(&audio_app, 0, sizeof audio_app);
    memset(&storage_app, 0, sizeof storage_app);
    memset(&gfx_app, 0, sizeof gfx_app);
    memset(&platform_app, 0, sizeof platform_app);
    memset(&runtime_app, 0, sizeof runtime_app);
    audio_app.audio_focus_pid = -2;
    audio_app.audio_copy_pid = -3;
}

void reset_app_state() {
    end_captures();
    int32_t focus = platform_app.focus;
    // A close of the window in the frame of a pending reboot must survive it.
    int32_t exit_request = platform_app.exit_request;
    os_lock_audio();  // the audio callback reads the capture fields
    clear_app_parts();
    os_unlock_audio();
    if (system_inited) platform_app.focus = focus;
    platform_app.exit_request = exit_request;

    processes_init();
    root_process = nullptr;
    boot_init();
    pfile_init();
    pfile_reset();
    init_default_coltabs();
    os_lock_audio();  // the device may be playing through a reboot
    mudo_init();
    os_unlock_audio();

    mount_ram_folder("/ram");
    siteuser_init();
    process_config();

    char data_path[HVX_PATH_MAX];
    if (krio_prefix_with_program_path("data", data_path, sizeof data_path) && host_directory_exists(data_path))
        mount_host_path("/host_data", data_path);

    krio_debug("creating root process..");
    root_process = create_process_from_code("--[[ :: root process :: ]]", "[root]", "[root]", "", "");
    if (!root_process) {
        puts("could not create the root process");
        halvoran_exit(1);
    }
    cproc = root_process;

    boot_system_rom();

    krio_debug("[anywhen] init\n");
    uint64_t t0 = os_get_time();
    anywhen_open();
    krio_debugf("[anywhen] ok (%lldms)\n", (long long)(os_get_time() - t0));

    config.display_pid = DEFAULT_DISPLAY_PID;
    if (get_dat_file_count() > 2) {
        storage_app.has_exported_cart = 1;
        mount_ram_folder("/ram/expcart");
        populate_ram_folder_from_hvx_rom_buffer_ex("/ram/expcart", "", get_dat_file(2), 0);
    }
    if (get_dat_file_count() > 3 && (dat_flags_word() & 1)) config.display_pid = 4;
}

// ---------------------------------------------------------------------------
// Exit
// ---------------------------------------------------------------------------

// The last steps of every exit; the orderly shutdown logs each. An atomic
// operation still open is let go: holding back the write-back past this
// point would lose every change made since the last one, and would leave a
// cartridge's write over frames unfinished.
static void close_down(bool logged) {
    if (app.atomic_pid) {
        krio_debugf("[halvoran_exit] atomic operation of process %lld still open; writing back\n",
                    (long long)app.atomic_pid);
        app.atomic_pid = 0;
    }
    if (logged) krio_debug("[halvoran_exit] flushing dirty mounts..\n");
    flush_dirty_mounts_immediately();
    sync_fs(1);
    if (logged) krio_debug("[halvoran_exit] freeing sockets..\n");
    delete_sockets_by_process(0);
    sockets_exit();
    end_captures();
    // No callback may run into the synthesizer while the program ends.
    audio_close_output_device();
    if (logged) krio_debug("[halvoran_exit] closing anywhen..\n");
    anywhen_close();
}

void halvoran_flush_before_exit() { close_down(false); }

[[noreturn]] static void finish(int code) {
    krio_debug_close();  // writes a repeat count still being folded
    fflush(stdout);
    exit(code);
}

void halvoran_exit(int code) {
    halvoran_flush_before_exit();
    finish(code);
}

static void run_root_frame() {
    prepare_processes_for_frame();
    run_process_slice(root_process, 1.0);
    update_processes_after_frame();
}

void halvoran_shutdown() {
    krio_debug("[halvoran_exit]\n");
    for (int i = 0; i < EXIT_ROOT_SLICES && app.atomic_pid && root_process; i++) {
        krio_debug("[halvoran_exit] waiting for shutdown..\n");
        run_root_frame();
    }
    close_down(true);
    krio_debug("[halvoran_exit] ok\n");
    finish(0);
}

// ---------------------------------------------------------------------------
// Frames
// ---------------------------------------------------------------------------

void system_frame() {
    debug_system_frames_since_reboot++;

    if (platform_app.reboot_request && !app.atomic_pid) {
        flush_dirty_mounts_immediately();
        krio_debug("--- rebooting ---\n\n");
        reset_app_state();
        debug_system_frames_since_reboot = 0;
    }

    if (platform_app.exit_request) {
        if (!app.atomic_pid) halvoran_shutdown();
        krio_debug("[halvoran_exit] (waiting for atomic operation to complete)\n");
        if (++runtime_app.exit_wait > EXIT_ATOMIC_WAIT_FRAMES) halvoran_shutdown();
    }

    // The host modules start before the first window configuration.
    if (!system_inited) {
        os_system_init();
        sockets_init();
        system_inited = 1;
    }
    if (!app.video_ready) os_apply_video_config();

    start_frame();
    run_root_frame();
    if (root_process_record() != root_process) {
        // The kernel ended: running the next record as the kernel would hand
        // the machine to the window manager.
        krio_debug("root process ended\n");
        root_process = nullptr;
        halvoran_shutdown();
    }

    flush_dirty_mounts_delayed();
    scoresub_update();
    siteuser_update();
    gurl_update();
    scoresub_update();
    sync_fs(0);
    os_reap_children();
    update_audio_capture();

    platform_app.frame_count++;
    end_frame();
    if (platform_app.frame_count % SESSION_REFRESH_FRAMES == 0) update_session(get_active_session());
}

int halvoran_main(int argc, char** argv) {
    os_time_init();
    gurl_init();
    memset(krio_argv0, 0, sizeof krio_argv0);
    if (argc > 0 && argv[0]) copy_field(krio_argv0, sizeof krio_argv0, argv[0]);
    load_halvoran_dat_files();
    srand((unsigned)time(nullptr));
    config_set_defaults();
    process_arguments(argc, argv);
    // The per-user folder is known only now (-home, block 0): the log opens here
    // and writes the lines kept since start.
    krio_debug_open();
    krio_debugf("booting halvoran %s\n", HVX_VERSION);
    krio_debugf("build: %s\n", hvx_build_string);
    reset_app_state();
    for (;;) system_frame();
}
