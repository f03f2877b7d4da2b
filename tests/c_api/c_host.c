/* A plain C host: the public header must compile as C and the library must
 * be usable through it alone. Exits non-zero on the first failed check. */
#include <stdio.h>
#include <string.h>

#include "quendra.h"

#define CHECK(cond)                                              \
  do {                                                           \
    if (!(cond)) {                                               \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      return 1;                                                  \
    }                                                            \
  } while (0)

int main(void) {
  static const char manifest[] = "{\"models\": {\"orders\": {\"table\": \"orders\"}}}";
  static const char broken[] = "{\"models\": ";
  quendra_ctx* ctx;

  CHECK(strcmp(quendra_version(), "0.0.1") == 0);
  CHECK(strcmp(quendra_last_error(NULL), "") == 0);
  CHECK(quendra_load_models(NULL, (const uint8_t*)manifest, sizeof manifest - 1) == 1);

  ctx = quendra_new();
  CHECK(ctx != NULL);
  CHECK(strcmp(quendra_last_error(ctx), "") == 0);
  CHECK(quendra_load_models(ctx, (const uint8_t*)manifest, sizeof manifest - 1) == 0);
  CHECK(quendra_load_models(ctx, (const uint8_t*)broken, sizeof broken - 1) == 1);
  CHECK(strcmp(quendra_last_error(ctx), "{\"code\":\"invalid\",\"message\":\"UnexpectedEndOfInput\"}") == 0);
  quendra_clear_tables(ctx);
  quendra_free(ctx);
  quendra_free(NULL);
  quendra_clear_tables(NULL);
  printf("C host: ok\n");
  return 0;
}
