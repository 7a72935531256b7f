# bash completion for zt, the command-line tool of libztbase.
_zt() {
    local cur=${COMP_WORDS[COMP_CWORD]}
    local cmd=${COMP_WORDS[1]} sub=${COMP_WORDS[2]}
    local commands="status date reg paths config logs vnet msg lock resolve host connect hostcache whitelist path-allowed events ul pbx vnetd demo"
    COMPREPLY=()
    if ((COMP_CWORD == 1)); then
        COMPREPLY=($(compgen -W "$commands help --help --version" -- "$cur"))
        return
    fi
    if ((COMP_CWORD == 2)); then
        case $cmd in
        reg) COMPREPLY=($(compgen -W "query add delete export import backup restore" -- "$cur")) ;;
        config) COMPREPLY=($(compgen -W "items info show set unset check" -- "$cur")) ;;
        logs) COMPREPLY=($(compgen -W "list" -- "$cur")) ;;
        vnet) COMPREPLY=($(compgen -W "status services version" -- "$cur")) ;;
        host) COMPREPLY=($(compgen -W "same local roles fqdn" -- "$cur")) ;;
        status) COMPREPLY=($(compgen -W "--all" -- "$cur")) ;;
        paths) COMPREPLY=($(compgen -W "--json $("$1" paths 2>/dev/null | cut -d= -f1)" -- "$cur")) ;;
        help) COMPREPLY=($(compgen -W "$commands" -- "$cur")) ;;
        events) COMPREPLY=($(compgen -W "demo ps" -- "$cur")) ;;
        ul) COMPREPLY=($(compgen -W "show delete config" -- "$cur")) ;;
        pbx) COMPREPLY=($(compgen -W "run register connect list" -- "$cur")) ;;
        vnetd) COMPREPLY=($(compgen -W "run register version services" -- "$cur")) ;;
        esac
        return
    fi
    case "$cmd $sub" in
    "config items" | "config show" | "config unset")
        COMPREPLY=($(compgen -W "--json $("$1" config items 2>/dev/null | awk 'NR > 1 { print $2 }')" -- "$cur")) ;;
    "config set" | "config check" | "reg import" | "reg backup" | "reg restore" | "vnet services" | "logs list")
        COMPREPLY=($(compgen -f -- "$cur")) ;;
    "ul show")
        COMPREPLY=($(compgen -W "--product --originator --since --locale --follow" -- "$cur")) ;;
    "ul config")
        COMPREPLY=($(compgen -W "--product" -- "$cur")) ;;
    "reg add")
        ((COMP_CWORD == 5)) && COMPREPLY=($(compgen -W "REG_SZ REG_EXPAND_SZ REG_DWORD REG_MULTI_SZ" -- "$cur")) ;;
    "host same")
        ((COMP_CWORD >= 5)) && COMPREPLY=($(compgen -W "--local" -- "$cur")) ;;
    paths*)
        COMPREPLY=($(compgen -W "$("$1" paths 2>/dev/null | cut -d= -f1)" -- "$cur")) ;;
    esac
}
complete -F _zt zt
