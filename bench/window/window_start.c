/* Times a program's window on an X server: from the start of the process to its first top-level
 * window mapped, and to that window painted (its pixels no longer one plain colour), and reads
 * the process's peak memory (VmHWM) at that point. The program is then ended.
 *
 * Usage: window_start PROGRAM [ARGUMENTS...]      (DISPLAY names the X server)
 * Prints: mapped_ms painted_ms peak_kb
 */
#define _GNU_SOURCE
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <xcb/xcb.h>

static double Now(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

static long PeakKb(pid_t pid) {
  char path[64], line[256];
  snprintf(path, sizeof path, "/proc/%d/status", (int)pid);
  FILE* f = fopen(path, "r");
  long kb = -1;
  while (f && fgets(line, sizeof line, f))
    if (strncmp(line, "VmHWM:", 6) == 0) kb = strtol(line + 6, NULL, 10);
  if (f) fclose(f);
  return kb;
}

/* True when the window's pixels hold more than one colour. */
static int Painted(xcb_connection_t* c, xcb_window_t w) {
  xcb_get_geometry_reply_t* g = xcb_get_geometry_reply(c, xcb_get_geometry(c, w), NULL);
  if (!g) return 0;
  xcb_get_image_reply_t* image = xcb_get_image_reply(
      c, xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, w, 0, 0, g->width, g->height, ~0u), NULL);
  free(g);
  if (!image) return 0;
  const uint32_t* pixels = (const uint32_t*)xcb_get_image_data(image);
  const int count = xcb_get_image_data_length(image) / 4;
  int varied = 0;
  for (int i = 1; i < count && !varied; ++i)
    varied = (pixels[i] & 0xFFFFFF) != (pixels[0] & 0xFFFFFF);
  free(image);
  return varied;
}

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: window_start PROGRAM [ARGUMENTS...]\n");
    return 2;
  }
  xcb_connection_t* c = xcb_connect(NULL, NULL);
  if (xcb_connection_has_error(c)) {
    fprintf(stderr, "window_start: no X server\n");
    return 2;
  }
  xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
  uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
  xcb_change_window_attributes(c, root, XCB_CW_EVENT_MASK, &mask);
  xcb_flush(c);

  const double start = Now();
  pid_t pid = fork();
  if (pid == 0) {
    execvp(argv[1], argv + 1);
    _exit(127);
  }
  xcb_window_t window = 0;
  xcb_generic_event_t* event;
  while (!window && (event = xcb_wait_for_event(c))) {
    if ((event->response_type & 0x7F) == XCB_MAP_NOTIFY) {
      xcb_map_notify_event_t* map = (xcb_map_notify_event_t*)event;
      if (!map->override_redirect) window = map->window;
    }
    free(event);
  }
  const double mapped = Now();
  while (!Painted(c, window)) usleep(500);
  const double painted = Now();
  const long peak = PeakKb(pid);
  kill(pid, SIGTERM);
  waitpid(pid, NULL, 0);
  printf("%.1f %.1f %ld\n", mapped - start, painted - start, peak);
  xcb_disconnect(c);
  return 0;
}
