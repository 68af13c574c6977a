/*
 * The persistent configuration file: a JSON array of ConfigField objects, at most
 * 65535 bytes, applied at start and rewritten after every successful
 * "set-configuration". Main-loop thread only.
 */
#pragma once

struct Error;
struct ConfigFieldList;

#define PERSISTENT_CONFIG_MAX_SIZE 65535

/* Uses file_path (copied) from now on; NULL forgets it. */
void persistent_config_init(const char *file_path);
/* The file file_name in the "config" folder of the data folder (the registry value
 * HV_DATA_FOLDER under config_key, read afresh, as data_folder_check takes it). False,
 * logged, when that fails; the file is then not used. */
bool persistent_config_init_in_data_folder(const char *config_key, const char *file_name);
/* The path in use, or NULL. */
const char *persistent_config_file(void);
void persistent_config_cleanup(void);

/*
 * The fields of the file, in reverse file order. NULL without an error when there is
 * no file name, no file, an oversized or unreadable file, or no usable element;
 * NULL with *errp set when the size cannot be read or the JSON is not an array.
 * Elements without a name or a value are skipped.
 */
ConfigFieldList *persistent_config_read(Error **errp);

/* False, with *errp naming the limit, when fields would make a file larger than the
 * reader accepts. */
bool persistent_config_check_size(ConfigFieldList *fields, Error **errp);

/*
 * Replaces the file with fields as JSON, atomically: the previous content stays
 * whole when writing fails. False on failure, logged; only a failed conversion to
 * JSON sets *errp.
 */
bool persistent_config_write(ConfigFieldList *fields, Error **errp);
