/*
 * A plugin's own settings file. Part of the plugin SDK; C and C++.
 *
 * core.xml holds the core's settings only: the core rewrites it and drops
 * what it does not know. A plugin whose settings come from no parent-side
 * counterpart keeps them, by convention, in "<module>.conf" in the core's
 * working directory (beside core.xml), where <module> is the plugin's module
 * name (its file name without ".so", in lower case). One "key = value" per
 * line; blank lines and lines starting with '#' are skipped, and so is a
 * '#' after a space or tab and what follows it (a comment after the value);
 * spaces around the key and the value are dropped. Read it in Open; it is the plugin's to
 * read, and the core never touches it.
 */
#ifndef DVRCORE_SDK_PLUGIN_SETTINGS_H
#define DVRCORE_SDK_PLUGIN_SETTINGS_H

#include <ctype.h>
#include <stdio.h>
#include <string.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Called once per setting, in file order; both texts live during the call. */
typedef void (*DvrSettingFunction)(const char* key, const char* value, void* context);

/* Strips the spaces around `text` in place; the stripped start. */
static inline char* DvrStripSpaces(char* text)
{
    char* end = text + strlen(text);
    while (end > text && isspace((unsigned char)end[-1])) {
        *--end = '\0';
    }
    while (isspace((unsigned char)*text)) {
        ++text;
    }
    return text;
}

/* Reads the settings file at `path` and calls `onSetting` for each setting.
 * Returns the number of settings, or -1 when the file cannot be opened (errno
 * says why; a missing file usually means "all defaults"). The number of the
 * first line that is not a setting (no '=', an empty key, or longer than 1022
 * bytes) goes to `*badLine`, 0 when there is none; such lines are skipped, so
 * that the plugin can name them in its log. */
static inline int DvrReadSettings(const char* path, DvrSettingFunction onSetting, void* context, int* badLine)
{
    FILE* file = fopen(path, "r");
    if (file == NULL) {
        return -1;
    }
    char line[1024];
    int settings = 0;
    int number = 0;
    *badLine = 0;
    while (fgets(line, sizeof line, file) != NULL) {
        ++number;
        const size_t length = strlen(line);
        const int cut = length == sizeof line - 1 && line[length - 1] != '\n' && !feof(file);
        if (cut) {
            /* Skip the rest of the overlong line. */
            int c;
            while ((c = fgetc(file)) != EOF && c != '\n') {
            }
        }
        char* text = DvrStripSpaces(line);
        if (!cut && (*text == '\0' || *text == '#')) {
            continue;
        }
        char* equals = cut ? NULL : strchr(text, '=');
        if (equals != NULL) {
            *equals = '\0';
            char* key = DvrStripSpaces(text);
            char* value = equals + 1;
            for (char* hash = strchr(value, '#'); hash != NULL; hash = strchr(hash + 1, '#')) {
                if (hash > value && isspace((unsigned char)hash[-1])) {
                    *hash = '\0';
                    break;
                }
            }
            if (*key != '\0') {
                onSetting(key, DvrStripSpaces(value), context);
                ++settings;
                continue;
            }
        }
        if (*badLine == 0) {
            *badLine = number;
        }
    }
    fclose(file);
    return settings;
}

#ifdef __cplusplus
}
#endif

#endif /* DVRCORE_SDK_PLUGIN_SETTINGS_H */
