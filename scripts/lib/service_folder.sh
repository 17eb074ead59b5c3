# Writes a service folder for a local download: the string table, ORVSettings.INI naming the
# server on 127.0.0.1, and a registry file whose PATCHESROOT is the given folder. Source it,
# then: write_service_folder ORV_FOLDER PATCHES_ROOT PORT RETRY_COUNT
# Exports ORCHEL_REGISTRY so that the library reads that registry file.

write_service_folder() {
    local orv="$1" patches="$2" port="$3" retries="$4"
    mkdir -p "$orv" "$patches"
    cp host/RemedorService.strings "$orv/"
    cat > "$orv/ORVSettings.INI" <<INI
[DownloadServer]
ServerType=1
ServerName=127.0.0.1
Port=$port
Protocol=HTTP
[DOWNLOADCONFIG]
RetryCount=$retries
TimeOutForEachTry=1
PacketCount=64
INI
    printf 'Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Drovanix\\Kelm Veltrane Backup Remedor]\n"PATCHESROOT"="%s"\n' \
        "$patches" > "$orv/registry.reg"
    export ORCHEL_REGISTRY="$orv/registry.reg"
}
