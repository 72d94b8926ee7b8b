// The synthesizer's copy of the audio-focus process: the pages of its space
// the synthesizer reads, copied under the audio lock.
#include "audio/audio.h"
#include "core/core.h"

audio_app_t audio_app;

// Nothing for the once-a-frame copy to do: the audio lock is left alone, so
// the mixer sees no writer in an idle frame.
bool synth_copy_current() {
    const Process* f = get_process(audio_app.audio_focus_pid);
    if (!f) return audio_app.audio_focus_pid == -2;
    return audio_app.audio_copy_pid == f->id && !f->audio_lines;
}

// Whether bytes were copied (a page of zeroes costs the synthesizer next to
// nothing where it was never written).
static bool copy_page_to_synth(Process* f, int pg) {
    uint32_t base = (uint32_t)pg * HVX_PAGE_SIZE;
    int32_t len = f->page_ptr[pg] ? f->page_len[pg] : 0;
    if (len > 0) mudo_memcpy(base, f->page_ptr[pg], (uint32_t)len);
    if (len < HVX_PAGE_SIZE) {
        if (f->backing_page[pg]) {
            mudo_memcpy(base + len, f->backing_page[pg] + len, (uint32_t)(HVX_PAGE_SIZE - len));
            return true;
        }
        mudo_memset(base + len, 0, (uint32_t)(HVX_PAGE_SIZE - len));
    }
    return len > 0;
}

int audio_op_start(int64_t pid, int force) {
    if (pid > LAST_SYSTEM_PROCESS_ID && pid != audio_app.audio_focus_pid) {
        os_lock_audio();
        int playing = mudo_anything_is_playing();
        os_unlock_audio();
        Process* focus = get_process(audio_app.audio_focus_pid);
        Process* req = get_process(pid);
        int32_t req_priority = req ? req->audio_priority : 0;
        // With no focus record left there is nothing to compare: allowed.
        if (playing && focus && focus->audio_priority > req_priority) return 1;
        audio_app.audio_focus_pid = pid;
    } else if (pid >= KERNEL_PROCESS_ID && pid <= LAST_SYSTEM_PROCESS_ID) {
        audio_app.audio_focus_pid = pid;
    }
    os_lock_audio();
    Process* f = get_process(audio_app.audio_focus_pid);
    if (!f) {
        if (audio_app.audio_focus_pid != -2) {
            mudo_memset(0, 0, ADDR_WAVETABLE_END);
            audio_app.audio_focus_pid = -2;
            mudo_kill_all_audio();
        }
        os_unlock_audio();
        return 1;
    }
    bool same = audio_app.audio_copy_pid == f->id;
    if (!force && same) return 0;
    // A new focus is copied whole; the same one only where it was written.
    int64_t copied = 0;
    for (int line = 0; line < HVX_PAGES / 64; line++) {
        if (same && !(f->audio_lines >> line & 1)) continue;
        for (int pg = line * 64; pg < line * 64 + 64; pg++) {
            if (!same || (f->page_flags[pg] & PAGE_FLAG_AUDIO)) {
                copied += copy_page_to_synth(f, pg);
                f->page_flags[pg] &= (uint8_t)~PAGE_FLAG_AUDIO;
            }
        }
    }
    f->audio_lines = 0;
    // The process that asked pays for the copy (processes taking the focus
    // from each other in turn would otherwise copy memory for nothing).
    if (pid > 0 && copied > 0) spend_cpu(hvx_cycles(copied * AUDIO_PAGE_COPY_COST));
    if (!same) mudo_kill_all_audio();
    audio_app.audio_copy_pid = f->id;
    return 0;
}

void audio_op_end() { os_unlock_audio(); }
