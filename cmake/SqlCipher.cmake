# The database engine: SQLCipher 4.6.1 (SQLite 3.46.1), compiled here from the
# amalgamation that scripts/setup makes from Debian's source package, and
# linked statically into every program. Debian 12's own libsqlcipher (3.4.1 on
# SQLite 3.15.2) is never linked.
#
# Defines the target `sqlcipher`: sqlite3.h on its include path, SQLITE_HAS_CODEC
# for its users (it declares sqlite3_key()), and the crypto provider linked.

set(KESTOVA_SQLCIPHER_DIR "${PROJECT_SOURCE_DIR}/.deps/sqlcipher"
    CACHE PATH "The SQLCipher amalgamation (sqlite3.c, sqlite3.h) that scripts/setup makes")
if(NOT EXISTS "${KESTOVA_SQLCIPHER_DIR}/sqlite3.c")
  message(FATAL_ERROR "No SQLCipher amalgamation in ${KESTOVA_SQLCIPHER_DIR}: run scripts/setup")
endif()

enable_language(C)
add_library(sqlcipher STATIC "${KESTOVA_SQLCIPHER_DIR}/sqlite3.c")
target_include_directories(sqlcipher SYSTEM PUBLIC "${KESTOVA_SQLCIPHER_DIR}")
target_compile_definitions(sqlcipher
  PUBLIC SQLITE_HAS_CODEC
  PRIVATE
    # Temporary tables and indexes stay in memory: never unencrypted on disk.
    SQLITE_TEMP_STORE=2
    # Nothing a database file names can load code.
    SQLITE_OMIT_LOAD_EXTENSION
    # SQLCipher would otherwise write its warnings (a wrong key, say) to
    # standard error, where the run's own details go.
    SQLCIPHER_OMIT_DEFAULT_LOGGING
    SQLITE_DEFAULT_MEMSTATUS=0
)

if(WIN32)
  # libtomcrypt, from the sources scripts/setup fetches: only the pieces
  # SQLCipher uses (AES, SHA-1/256/512, HMAC, PBKDF2, Fortuna), built by the
  # same cross compiler and linked into the program.
  set(KESTOVA_TOMCRYPT_DIR "${PROJECT_SOURCE_DIR}/.deps/libtomcrypt"
      CACHE PATH "libtomcrypt's sources, which scripts/setup fetches")
  if(NOT EXISTS "${KESTOVA_TOMCRYPT_DIR}/src/headers/tomcrypt.h")
    message(FATAL_ERROR "No libtomcrypt sources in ${KESTOVA_TOMCRYPT_DIR}: run scripts/setup")
  endif()
  set(kestova_tomcrypt_src "${KESTOVA_TOMCRYPT_DIR}/src")
  file(GLOB kestova_tomcrypt_sources
    "${kestova_tomcrypt_src}/ciphers/aes/aes.c"
    "${kestova_tomcrypt_src}/hashes/sha1.c"
    "${kestova_tomcrypt_src}/hashes/sha2/*.c"
    "${kestova_tomcrypt_src}/hashes/helper/*.c"
    "${kestova_tomcrypt_src}/mac/hmac/*.c"
    "${kestova_tomcrypt_src}/misc/*.c"
    "${kestova_tomcrypt_src}/misc/crypt/*.c"
    "${kestova_tomcrypt_src}/misc/pkcs5/*.c"
    "${kestova_tomcrypt_src}/modes/cbc/*.c"
    "${kestova_tomcrypt_src}/prngs/*.c")
  # Public-key object identifiers need a math library, which nothing here uses.
  list(FILTER kestova_tomcrypt_sources EXCLUDE REGEX "pk_get_oid\\.c$")
  add_library(tomcrypt STATIC ${kestova_tomcrypt_sources})
  target_include_directories(tomcrypt SYSTEM PUBLIC "${kestova_tomcrypt_src}/headers")
  # Its self-tests are left out; nothing of it is our code.
  target_compile_definitions(tomcrypt PRIVATE LTC_NO_TEST)
  set_target_properties(tomcrypt PROPERTIES COMPILE_WARNING_AS_ERROR OFF COMPILE_OPTIONS "-w;-g0;-O2")
  target_compile_definitions(sqlcipher PRIVATE SQLCIPHER_CRYPTO_LIBTOMCRYPT)
  target_link_libraries(sqlcipher PUBLIC tomcrypt)
else()
  find_package(OpenSSL REQUIRED)
  find_package(Threads REQUIRED)
  target_compile_definitions(sqlcipher PRIVATE
    SQLCIPHER_CRYPTO_OPENSSL
    # What configure finds on Debian; without HAVE_USLEEP SQLite's waits inside
    # the write-ahead log would sleep whole seconds.
    HAVE_USLEEP=1 HAVE_FDATASYNC=1 HAVE_LOCALTIME_R=1 HAVE_GMTIME_R=1)
  target_link_libraries(sqlcipher PUBLIC OpenSSL::Crypto Threads::Threads ${CMAKE_DL_LIBS} m)
endif()

# The engine is not our code: it is compiled with its own warnings off, never
# with ours, and never with warnings as errors.
set_target_properties(sqlcipher PROPERTIES COMPILE_WARNING_AS_ERROR OFF POSITION_INDEPENDENT_CODE ON)
# Under the sanitizers it keeps AddressSanitizer, which catches a buffer of
# ours that the engine reads after we freed it (values are bound without a
# copy), but not UndefinedBehaviorSanitizer, which reports the engine's own
# deliberate pointer arithmetic on page buffers.
get_target_property(kestova_engine_options sqlcipher COMPILE_OPTIONS)
list(FILTER kestova_engine_options EXCLUDE REGEX "^-W|sanitize-recover")
list(TRANSFORM kestova_engine_options REPLACE "^-fsanitize=.*address.*$" "-fsanitize=address")
# Its debug information is left out (-g0), and under the sanitizers it is
# optimised less (-O1): either takes most of the time of compiling this one
# large file, which nothing can share with another core.
set_target_properties(sqlcipher PROPERTIES COMPILE_OPTIONS "${kestova_engine_options};-w;-g0")
if(KESTOVA_SANITIZE)
  target_compile_options(sqlcipher PRIVATE -O1)
endif()
