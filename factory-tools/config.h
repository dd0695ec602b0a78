// The device's configuration store, as korvalt sees it. Both calls come from the device's own libconfig.so.
#ifndef KORVALT_CONFIG_H
#define KORVALT_CONFIG_H

#ifdef __cplusplus
extern "C" {
#endif

// The value of a key; an unset key reads as "". The text is never null and stays valid after later calls.
const char *config_get(const char *name);
// Non-zero when the key's value equals value.
int config_match(const char *name, const char *value);

#ifdef __cplusplus
}
#endif

#endif
