/* The C API as a C program sees it: every operation against a virtual
 * printer, and the bad calls the header gives a defined answer.
 *
 * Usage: api_test DEVICE SCRATCH_DIR [PART]
 *   DEVICE       the port name of a printer started with the rules
 *                X=refuse:4060, R=report:3:Line %d and S=block:Ready
 *   SCRATCH_DIR  an existing directory for the command and output files
 *   PART         one part of the checks (operations, failures, closed or
 *                trace) instead of all of them
 *
 * Under Wine a COM port mapped to a pseudo-terminal takes its line settings
 * only once, and a second open of it is not refused: the run there sets
 * VEXOLANT_API_TEST_SHARED_PORT, runs each part against a printer of its own
 * and leaves out the checks that need a second open.
 *
 * Plain C99 and the standard library only, so that the same source builds
 * against an installed library and for Windows. Exit status 0 when every
 * check holds, 1 when one fails, 2 on a usage error. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "vexolant/vexolant.h"

static int failures = 0;
static const char* device = NULL;
static const char* scratch = NULL;
static int shared_port = 0; /* see VEXOLANT_API_TEST_SHARED_PORT above */

static void expect_int(const char* file, int line, const char* what, long got, long want) {
  if (got == want) return;
  ++failures;
  fprintf(stderr, "%s:%d: %s is %ld, expected %ld\n", file, line, what, got, want);
}

static void expect_true(const char* file, int line, const char* what, int holds) {
  if (holds) return;
  ++failures;
  fprintf(stderr, "%s:%d: %s does not hold\n", file, line, what);
}

#define EXPECT_INT(expr, want) expect_int(__FILE__, __LINE__, #expr, (long)(expr), (long)(want))
#define EXPECT_TRUE(cond) expect_true(__FILE__, __LINE__, #cond, (cond) ? 1 : 0)

/* The result of an operation with status and error out-pointers. */
struct result {
  int32_t value;
  int32_t status;
  int32_t error;
};

/* The call in progress. Its out-pointers start at a value no operation
 * delivers, so a code that is not written shows. */
static struct result call;
enum { kUnset = -7 };

static void start_call(void) {
  call.value = kUnset;
  call.status = kUnset;
  call.error = kUnset;
}

/* Runs op(args..., &status, &error) and gives its result. */
#define RESULT(op, ...) \
  (start_call(), call.value = op(__VA_ARGS__, &call.status, &call.error), call)

static void expect_result(const char* file, int line, const char* what, struct result got,
                          long value, long status, long error) {
  if (got.value == value && got.status == status && got.error == error) return;
  ++failures;
  fprintf(stderr, "%s:%d: %s gave (%ld, %ld, %ld), expected (%ld, %ld, %ld)\n", file, line, what,
          (long)got.value, (long)got.status, (long)got.error, value, status, error);
}

#define EXPECT_RESULT(result, value, status, error) \
  expect_result(__FILE__, __LINE__, #result, result, value, status, error)

/* --- Files in the scratch directory ----------------------------------------- */

/* The files of the cases, in the scratch directory. */
struct path {
  char text[1024];
};
static struct path commands, refused, empty, report, reply, missing_file, missing_dir_file,
    trace_file, missing_device;

static void set_path(struct path* path, const char* name) {
  snprintf(path->text, sizeof path->text, "%s/%s", scratch, name);
}

static void set_paths(void) {
  set_path(&commands, "commands.txt");
  set_path(&refused, "refused.txt");
  set_path(&empty, "empty.txt");
  set_path(&report, "report.txt");
  set_path(&reply, "reply.txt");
  set_path(&missing_file, "no-such-file");
  set_path(&missing_dir_file, "no-such-dir/file.txt");
  set_path(&trace_file, "trace.txt");
  set_path(&missing_device, "no-such-device");
}

static void write_file(const char* path, const char* bytes) {
  FILE* file = fopen(path, "wb");
  EXPECT_TRUE(file != NULL);
  if (file == NULL) return;
  EXPECT_INT(fwrite(bytes, 1, strlen(bytes), file), strlen(bytes));
  EXPECT_INT(fclose(file), 0);
}

/* The whole file, or "(missing)"; at most 1023 bytes. */
static const char* read_file(const char* path) {
  static char bytes[1024];
  size_t length = 0;
  FILE* file = fopen(path, "rb");
  if (file == NULL) return "(missing)";
  length = fread(bytes, 1, sizeof bytes - 1, file);
  fclose(file);
  bytes[length] = '\0';
  return bytes;
}

static void expect_file(const char* file, int line, const char* path, const char* want) {
  const char* got = read_file(path);
  if (strcmp(got, want) == 0) return;
  ++failures;
  fprintf(stderr, "%s:%d: %s holds \"%s\", expected \"%s\"\n", file, line, path, got, want);
}

#define EXPECT_FILE(path, want) expect_file(__FILE__, __LINE__, path, want)

/* A port opened with the options a caller sets: no wait for a busy port. */
static vexolant_port* open_port(void) {
  vexolant_port* port = NULL;
  vexolant_options options;
  vexolant_options_init(&options);
  options.busy_wait_ms = 0;
  EXPECT_INT(vexolant_open_with(device, &options, &port), 0);
  EXPECT_TRUE(port != NULL);
  return port;
}

/* --- The cases -------------------------------------------------------------------- */

static void version_and_texts(void) {
  static const int32_t link_codes[] = {
      VEXOLANT_ERR_PORT, VEXOLANT_ERR_ANSWER,  VEXOLANT_ERR_NO_ANSWER,  VEXOLANT_ERR_NAK,
      VEXOLANT_ERR_FILE, VEXOLANT_ERR_FRAMING, VEXOLANT_ERR_NO_COMMAND, VEXOLANT_ERR_UPLOAD_LIMIT};
  const size_t count = sizeof link_codes / sizeof link_codes[0];
  const char* version = vexolant_version();
  size_t i = 0;
  size_t j = 0;
  char from_macros[32];
  EXPECT_TRUE(version != NULL && version[0] >= '0' && version[0] <= '9');
  /* The macros of the header the program was built with tell the same. */
  sprintf(from_macros, "%d.%d.%d", VEXOLANT_VERSION_MAJOR, VEXOLANT_VERSION_MINOR,
          VEXOLANT_VERSION_PATCH);
  EXPECT_TRUE(strcmp(version, from_macros) == 0);
  EXPECT_TRUE(strcmp(version, VEXOLANT_VERSION_STRING) == 0);
  EXPECT_INT(VEXOLANT_VERSION_NUMBER, VEXOLANT_VERSION_MAJOR * 10000 +
                                          VEXOLANT_VERSION_MINOR * 100 + VEXOLANT_VERSION_PATCH);
#ifdef VEXOLANT_EXPECTED_VERSION
  EXPECT_TRUE(strcmp(version, VEXOLANT_EXPECTED_VERSION) == 0);
#endif
  EXPECT_TRUE(strcmp(vexolant_error_text(0), "no error") == 0);
  EXPECT_TRUE(strcmp(vexolant_error_text(12345), "unknown code") == 0);
  EXPECT_TRUE(strcmp(vexolant_error_text(-1), "unknown code") == 0);
  /* Every link code has a text of its own. */
  for (i = 0; i < count; ++i) {
    const char* text = vexolant_error_text(link_codes[i]);
    EXPECT_TRUE(text != NULL && text[0] != '\0');
    EXPECT_TRUE(strcmp(text, "unknown code") != 0);
    for (j = 0; j < i; ++j) EXPECT_TRUE(strcmp(text, vexolant_error_text(link_codes[j])) != 0);
  }
  EXPECT_TRUE(strstr(vexolant_error_text(VEXOLANT_PRINTER_ERR_REFUSED_96), "96") != NULL);
}

static void every_operation(void) {
  vexolant_port* port = open_port();
  if (port == NULL) return;

  EXPECT_INT(vexolant_check(port), 1);
  EXPECT_RESULT(RESULT(vexolant_read_status, port), 1, VEXOLANT_STATUS_1,
                VEXOLANT_PRINTER_ERR_NONE);
  EXPECT_RESULT(RESULT(vexolant_send, port, "abc"), 1, 0, 0);
  EXPECT_RESULT(RESULT(vexolant_send, port, "Xyz"), 0, VEXOLANT_STATUS_1,
                VEXOLANT_PRINTER_ERR_REFUSED_96);
  EXPECT_RESULT(RESULT(vexolant_send, port, NULL), 1, 0, 0);
  EXPECT_RESULT(RESULT(vexolant_send, port, "a\002b"), 0, 0, VEXOLANT_ERR_FRAMING);

  write_file(commands.text, "one\r\ntwo\n\n\tskipped\nthree");
  EXPECT_RESULT(RESULT(vexolant_send_file, port, commands.text), 3, 0, 0);
  write_file(refused.text, "one\nXtwo\nthree\n");
  EXPECT_RESULT(RESULT(vexolant_send_file, port, refused.text), 1, VEXOLANT_STATUS_1,
                VEXOLANT_PRINTER_ERR_REFUSED_96);
  write_file(empty.text, "\n\n");
  EXPECT_RESULT(RESULT(vexolant_send_file, port, empty.text), 0, 0, VEXOLANT_ERR_NO_COMMAND);
  EXPECT_RESULT(RESULT(vexolant_send_file, port, missing_file.text), 0, 0, VEXOLANT_ERR_FILE);
  EXPECT_RESULT(RESULT(vexolant_send_file, port, NULL), 0, 0, VEXOLANT_ERR_FILE);
  EXPECT_RESULT(RESULT(vexolant_send_lines, port, "one\ntwo\n", 8), 2, 0, 0);

  /* A whole reply ends the read after the last block at once. */
  EXPECT_INT(vexolant_set_read_end(port, VEXOLANT_READ_END_COMPLETE), 0);
  EXPECT_INT(vexolant_set_read_end(port, 2), -1);
  EXPECT_INT(vexolant_set_read_end(port, -1), -1);
  write_file(report.text, "earlier content, longer than the report");
  EXPECT_RESULT(RESULT(vexolant_upload_report, port, "R", report.text), 1, 0, 0);
  EXPECT_FILE(report.text, "Line 1\r\nLine 2\r\nLine 3\r\n");
  EXPECT_RESULT(RESULT(vexolant_upload_report, port, "R", NULL), 0, 0, VEXOLANT_ERR_FILE);
  EXPECT_RESULT(RESULT(vexolant_upload_report, port, "R", missing_dir_file.text), 0, 0,
                VEXOLANT_ERR_FILE);

  EXPECT_RESULT(RESULT(vexolant_upload_status, port, "S", reply.text), 1, 0, 0);
  EXPECT_FILE(reply.text, "Ready\r\n");
  EXPECT_RESULT(RESULT(vexolant_upload_status, port, "S", NULL), 0, 0, VEXOLANT_ERR_FILE);
  EXPECT_INT(vexolant_set_read_end(port, VEXOLANT_READ_END_GAP), 0);

  /* Out-pointers may be NULL: the operation runs all the same. */
  EXPECT_INT(vexolant_read_status(port, NULL, NULL), 1);
  EXPECT_INT(vexolant_send(port, "abc", NULL, NULL), 1);
  EXPECT_INT(vexolant_send(port, "Xyz", NULL, NULL), 0);
  EXPECT_INT(vexolant_send_file(port, commands.text, NULL, NULL), 3);
  EXPECT_INT(vexolant_upload_status(port, "S", reply.text, NULL, NULL), 1);
  vexolant_close(port);
}

static void opens_that_fail(void) {
  vexolant_port* port = (vexolant_port*)&port; /* any value that is not NULL */
  vexolant_port* holder = NULL;
  EXPECT_INT(vexolant_open(device, NULL), -1);
  EXPECT_TRUE(vexolant_open(NULL, &port) != 0);
  EXPECT_TRUE(port == NULL);
  port = (vexolant_port*)&port;
  EXPECT_TRUE(vexolant_open_wait("", 0, &port) != 0);
  EXPECT_TRUE(port == NULL);
  port = (vexolant_port*)&port;
  EXPECT_TRUE(vexolant_open_wait(missing_device.text, 0, &port) != 0);
  EXPECT_TRUE(port == NULL);

  /* The port is for one handle at a time; closing it lets the next one in. */
  if (shared_port) return;
  holder = open_port();
  port = (vexolant_port*)&port;
  EXPECT_TRUE(vexolant_open_wait(device, 0, &port) != 0);
  EXPECT_TRUE(port == NULL);
  vexolant_close(holder);
  port = open_port();
  vexolant_close(port);
}

/* Every operation on a handle that is not open returns 0 with status 0 and
 * error VEXOLANT_ERR_PORT, and sends nothing. */
static void expect_not_open(const char* file, int line, vexolant_port* port) {
  const int before = failures;
  EXPECT_INT(vexolant_check(port), 0);
  EXPECT_RESULT(RESULT(vexolant_read_status, port), 0, 0, VEXOLANT_ERR_PORT);
  EXPECT_RESULT(RESULT(vexolant_send, port, "abc"), 0, 0, VEXOLANT_ERR_PORT);
  EXPECT_RESULT(RESULT(vexolant_send_file, port, commands.text), 0, 0, VEXOLANT_ERR_PORT);
  EXPECT_RESULT(RESULT(vexolant_upload_report, port, "R", report.text), 0, 0, VEXOLANT_ERR_PORT);
  EXPECT_RESULT(RESULT(vexolant_upload_status, port, "S", report.text), 0, 0, VEXOLANT_ERR_PORT);
  EXPECT_INT(vexolant_read_status(port, NULL, NULL), 0);
  EXPECT_INT(vexolant_send(port, "abc", NULL, NULL), 0);
  EXPECT_INT(vexolant_set_read_end(port, VEXOLANT_READ_END_GAP), -1);
  if (failures != before) fprintf(stderr, "%s:%d: (the handle above)\n", file, line);
}

#define EXPECT_NOT_OPEN(port) expect_not_open(__FILE__, __LINE__, port)

static void handles_that_are_not_open(void) {
  vexolant_port* closed = NULL;
  vexolant_port* later = NULL;
  EXPECT_NOT_OPEN(NULL);
  vexolant_close(NULL);

  closed = open_port();
  vexolant_close(closed);
  EXPECT_NOT_OPEN(closed);
  vexolant_close(closed); /* a second close is harmless */
  if (shared_port) return;

  /* A handle opened after the close does not make the closed one live
   * again, even when its record takes the same memory. */
  later = open_port();
  EXPECT_NOT_OPEN(closed);
  EXPECT_INT(vexolant_check(later), 1);
  vexolant_close(closed);
  EXPECT_INT(vexolant_check(later), 1);
  vexolant_close(later);
}

static long trace_lines = 0;

static void count_line(const char* line, void* user) {
  EXPECT_TRUE(line != NULL && strchr(line, '\n') == NULL);
  EXPECT_TRUE(user == &trace_lines);
  ++trace_lines;
}

static void trace(void) {
  vexolant_port* port = open_port();
  if (port == NULL) return;
  remove(trace_file.text);
  EXPECT_INT(vexolant_trace_to_file(trace_file.text), 0);
  EXPECT_INT(vexolant_check(port), 1);
  EXPECT_INT(vexolant_trace_to_file(NULL), 0);
  EXPECT_TRUE(strlen(read_file(trace_file.text)) > 0);
  EXPECT_TRUE(vexolant_trace_to_file(missing_dir_file.text) != 0);

  vexolant_trace_to_callback(count_line, &trace_lines);
  EXPECT_INT(vexolant_check(port), 1);
  vexolant_trace_to_callback(NULL, NULL);
  EXPECT_TRUE(trace_lines > 0);
  trace_lines = 0;
  EXPECT_INT(vexolant_check(port), 1);
  EXPECT_INT(trace_lines, 0);
  vexolant_close(port);
}

static void operations(void) {
  version_and_texts();
  every_operation();
}

static const struct part {
  const char* name;
  void (*run)(void);
} parts[] = {
    {"operations", operations},
    {"failures", opens_that_fail},
    {"closed", handles_that_are_not_open},
    {"trace", trace},
};

int main(int argc, char** argv) {
  const size_t count = sizeof parts / sizeof parts[0];
  size_t i = 0;
  int ran = 0;
  if (argc != 3 && argc != 4) {
    fprintf(stderr, "usage: %s DEVICE SCRATCH_DIR [PART]\n", argc > 0 ? argv[0] : "api_test");
    return 2;
  }
  device = argv[1];
  scratch = argv[2];
  shared_port = getenv("VEXOLANT_API_TEST_SHARED_PORT") != NULL;
  set_paths();
  for (i = 0; i < count; ++i) {
    if (argc == 4 && strcmp(argv[3], parts[i].name) != 0) continue;
    parts[i].run();
    ran = 1;
  }
  if (!ran) {
    fprintf(stderr, "no part named %s\n", argv[3]);
    return 2;
  }
  if (failures != 0) {
    fprintf(stderr, "%d check(s) failed\n", failures);
    return 1;
  }
  printf("all checks passed\n");
  return 0;
}
