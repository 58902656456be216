# Sourced by the tools/build-mingw-*.sh scripts: fetch_debian_sources <folder> <source package...> unpacks
# Debian's source packages into the folder, through a private deb-src list (the machine's own apt
# configuration stays untouched).
fetch_debian_sources() {
    local folder=$1
    shift
    mkdir -p "$folder/apt-sources" "$folder/apt-lists/partial"
    # The main archive's sources only: the security archive's pool does not always carry the matching sources.
    awk -v RS= -v ORS='\n\n' '!/debian-security/' /etc/apt/sources.list.d/debian.sources |
        sed 's/^Types: deb$/Types: deb-src/' > "$folder/apt-sources/debian-src.sources"
    local apt_opts=(-o "Dir::Etc::SourceList=/dev/null" -o "Dir::Etc::SourceParts=$folder/apt-sources"
                    -o "Dir::State::Lists=$folder/apt-lists" -o "APT::Sandbox::User=root")
    apt-get -q "${apt_opts[@]}" update >/dev/null
    (cd "$folder" && apt-get -q "${apt_opts[@]}" source "$@" >/dev/null)
}
