/* A minimal C host: bind two Arrow columns, ask one query in memory and
 * print the struct array that comes back. */
#include <stdio.h>
#include <string.h>

#include "quendra.h"

/* The host's columns live in static memory, so release only marks them. */
static void done_array(struct ArrowArray* a) { a->release = NULL; }
static void done_schema(struct ArrowSchema* s) { s->release = NULL; }

static int bind(quendra_ctx* ctx, const char* name, const char* format, int64_t n, const void** buffers,
                int64_t n_buffers) {
  struct ArrowSchema schema = {format, name, NULL, ARROW_FLAG_NULLABLE, 0, NULL, NULL, done_schema, NULL};
  struct ArrowArray array = {n, 0, 0, n_buffers, 0, buffers, NULL, NULL, done_array, NULL};
  return quendra_bind_column(ctx, "sales", name, &array, &schema); /* copies, then releases both */
}

int main(void) {
  static const char manifest[] =
      "{\"models\": {\"sales\": {\"table\": \"sales\", \"dimensions\": {\"region\": \"region\"},"
      " \"measures\": {\"revenue\": {\"agg\": \"sum\", \"expr\": \"amount\"}, \"orders\": {\"agg\": \"count\"}}}}}";
  static const char query[] =
      "{\"model\": \"sales\", \"dimensions\": [\"region\"], \"measures\": [\"revenue\", \"orders\"],"
      " \"order_by\": [[\"revenue\", \"desc\"]]}";
  static const int64_t amount[] = {10, 25, 5, 40};
  static const int32_t offsets[] = {0, 4, 8, 12, 16};
  static const char regions[] = "eastwesteastnord";
  const void* amount_buffers[] = {NULL, amount};
  const void* region_buffers[] = {NULL, offsets, regions};
  struct ArrowArray result;
  struct ArrowSchema schema;
  quendra_ctx* ctx = quendra_new();
  if (!ctx) return 1;
  if (quendra_load_models(ctx, (const uint8_t*)manifest, strlen(manifest)) != 0 ||
      bind(ctx, "amount", "l", 4, amount_buffers, 2) != 0 || bind(ctx, "region", "u", 4, region_buffers, 3) != 0 ||
      quendra_execute(ctx, (const uint8_t*)query, strlen(query), &result, &schema) != 0) {
    fprintf(stderr, "failed: %s\n", quendra_last_error(ctx));
    quendra_free(ctx);
    return 1;
  }
  quendra_free(ctx); /* the result does not depend on the context */
  for (int64_t r = 0; r < result.length; ++r) {
    const struct ArrowArray* region = result.children[0];
    const int32_t* offs = (const int32_t*)region->buffers[1];
    const char* bytes = (const char*)region->buffers[2];
    printf("%s=%.*s %s=%lld %s=%lld\n", schema.children[0]->name, (int)(offs[r + 1] - offs[r]), bytes + offs[r],
           schema.children[1]->name, (long long)((const int64_t*)result.children[1]->buffers[1])[r],
           schema.children[2]->name, (long long)((const int64_t*)result.children[2]->buffers[1])[r]);
  }
  result.release(&result); /* releases the children too */
  schema.release(&schema);
  return 0;
}
