// tarvik-keyring: looks up and stores SMTP passwords in the desktop keyring (the Secret Service
// API, through libsecret).
//
//   tarvik-keyring lookup HOST USER PORT [--unlock]
//       prints the password of the item with service=smtp, host=HOST, user=USER whose port
//       attribute is PORT or absent (an item with the port wins); exit 0 when found, 1 when
//       there is none, 2 when there is no keyring to ask. Locked items are skipped unless
//       --unlock lets the keyring ask the person to unlock them.
//   tarvik-keyring store HOST USER PORT
//       stores the first line of standard input as the password of service=smtp, host, user,
//       port, labelled "Tarvik USER@HOST", in place of the items a lookup would have found;
//       exit 0 when stored, 2 when not.
//
// The attributes are those `secret-tool store --label=... service smtp host H user U` writes,
// so a person can store a password by hand. Nothing is printed but the password.
#include <libsecret/secret.h>
#include <string.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr int kFound = 0;
constexpr int kNone = 1;
constexpr int kNoKeyring = 2;

// Items of any schema match (secret-tool stores without one of ours).
const SecretSchema kSchema = {"org.tarvik.SmtpPassword",
                              SECRET_SCHEMA_DONT_MATCH_NAME,
                              {{"service", SECRET_SCHEMA_ATTRIBUTE_STRING},
                               {"host", SECRET_SCHEMA_ATTRIBUTE_STRING},
                               {"user", SECRET_SCHEMA_ATTRIBUTE_STRING},
                               {"port", SECRET_SCHEMA_ATTRIBUTE_STRING},
                               {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING}},
                              0,
                              nullptr,
                              nullptr,
                              nullptr,
                              nullptr,
                              nullptr,
                              nullptr,
                              nullptr};

struct TQuery {
  const char* Host;
  const char* User;
  const char* Port;
};

GHashTable* Attributes(const TQuery& Query, bool WithPort) {
  GHashTable* attributes = g_hash_table_new(g_str_hash, g_str_equal);
  g_hash_table_insert(attributes, const_cast<char*>("service"), const_cast<char*>("smtp"));
  g_hash_table_insert(attributes, const_cast<char*>("host"), const_cast<char*>(Query.Host));
  g_hash_table_insert(attributes, const_cast<char*>("user"), const_cast<char*>(Query.User));
  if (WithPort)
    g_hash_table_insert(attributes, const_cast<char*>("port"), const_cast<char*>(Query.Port));
  return attributes;
}

// 2 for an item with our port, 1 for one without a port, 0 for one with another port.
int PortRank(SecretItem* Item, const char* Port) {
  GHashTable* attributes = secret_item_get_attributes(Item);
  const auto* port = static_cast<const char*>(g_hash_table_lookup(attributes, "port"));
  const int rank = !port ? 1 : std::strcmp(port, Port) == 0 ? 2 : 0;
  g_hash_table_unref(attributes);
  return rank;
}

// The items for Query that a lookup may use: all of them, unlocked or not.
GList* MatchingItems(SecretService* Service, const TQuery& Query, SecretSearchFlags Flags) {
  GHashTable* attributes = Attributes(Query, false);
  GError* error = nullptr;
  GList* items = secret_service_search_sync(
      Service, &kSchema, attributes, static_cast<SecretSearchFlags>(Flags | SECRET_SEARCH_ALL),
      nullptr, &error);
  g_hash_table_unref(attributes);
  if (error) g_error_free(error);
  return items;
}

int Lookup(SecretService* Service, const TQuery& Query, bool Unlock) {
  GList* items = MatchingItems(
      Service, Query,
      static_cast<SecretSearchFlags>(SECRET_SEARCH_LOAD_SECRETS |
                                     (Unlock ? SECRET_SEARCH_UNLOCK : SECRET_SEARCH_NONE)));
  SecretValue* best = nullptr;
  int bestRank = 0;
  for (GList* i = items; i; i = i->next) {
    auto* item = static_cast<SecretItem*>(i->data);
    const int rank = PortRank(item, Query.Port);
    if (rank <= bestRank || secret_item_get_locked(item)) continue;
    SecretValue* value = secret_item_get_secret(item);
    if (!value) continue;
    if (best) secret_value_unref(best);
    best = value;
    bestRank = rank;
  }
  g_list_free_full(items, g_object_unref);
  if (!best) return kNone;
  gsize length = 0;
  const gchar* password = secret_value_get(best, &length);
  std::fwrite(password, 1, length, stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
  secret_value_unref(best);
  return kFound;
}

int Store(SecretService* Service, const TQuery& Query) {
  char line[8192];
  if (!std::fgets(line, sizeof line, stdin)) return kNoKeyring;
  line[std::strcspn(line, "\r\n")] = '\0';
  // The items a lookup would have used give way to the new one.
  GList* items = MatchingItems(Service, Query, SECRET_SEARCH_NONE);
  for (GList* i = items; i; i = i->next) {
    auto* item = static_cast<SecretItem*>(i->data);
    if (PortRank(item, Query.Port) > 0) secret_item_delete_sync(item, nullptr, nullptr);
  }
  g_list_free_full(items, g_object_unref);
  const std::string label = std::string("Tarvik ") + Query.User + "@" + Query.Host;
  GHashTable* attributes = Attributes(Query, true);
  GError* error = nullptr;
  const gboolean stored = secret_password_storev_sync(
      &kSchema, attributes, SECRET_COLLECTION_DEFAULT, label.c_str(), line, nullptr, &error);
  g_hash_table_unref(attributes);
  explicit_bzero(line, sizeof line);
  if (error) {
    std::fprintf(stderr, "tarvik-keyring: %s\n", error->message);
    g_error_free(error);
  }
  return stored ? kFound : kNoKeyring;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: tarvik-keyring lookup|store HOST USER PORT [--unlock]\n");
    return kNoKeyring;
  }
  const std::string action = argv[1];
  const TQuery query{argv[2], argv[3], argv[4]};
  const bool unlock = argc > 5 && std::strcmp(argv[5], "--unlock") == 0;
  GError* error = nullptr;
  SecretService* service = secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, nullptr, &error);
  if (!service) {
    if (error) g_error_free(error);
    return kNoKeyring;
  }
  int result = kNoKeyring;
  if (action == "lookup")
    result = Lookup(service, query, unlock);
  else if (action == "store")
    result = Store(service, query);
  g_object_unref(service);
  return result;
}
