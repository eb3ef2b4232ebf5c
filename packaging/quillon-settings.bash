# Bash completion for quillon-settings.
_quillon_settings() {
    local cur=${COMP_WORDS[COMP_CWORD]} words=()
    case $COMP_CWORD in
        1) words=(show enable disable set list preview purge history version quit --help --version) ;;
        2) case ${COMP_WORDS[1]} in
               set) words=(period count secure notify limit keep-free minimum-age) ;;
               list|preview) words=(--porcelain) ;;
               history) words=(--since --porcelain) ;;
           esac ;;
        3) [ "${COMP_WORDS[1]}" = set ] && case ${COMP_WORDS[2]} in
               period) words=(hours days weeks months {1..12}) ;;
               count) case $(LC_ALL=C LANGUAGE= quillon-settings 2>/dev/null | head -n 1) in
                          *hour*) words=({1..12}) ;; *week*) words=(1 2 3 4) ;; *month*) words=({1..12}) ;;
                          *) words=({1..7}) ;;
                      esac ;;
               secure|notify) words=(on off yes no true false 1 0) ;;
               limit|keep-free) words=(off 5% 10% 20%) ;;
               minimum-age) words=(12h 1d 2d 1w) ;;
           esac ;;
        4) [ "${COMP_WORDS[1]} ${COMP_WORDS[2]}" = "set period" ] && case ${COMP_WORDS[3]} in
               1) words=(hour day week month) ;;
               [0-9]*) words=(hours days weeks months) ;;
           esac ;;
    esac
    COMPREPLY=($(compgen -W "${words[*]}" -- "$cur"))
}
complete -F _quillon_settings quillon-settings
